# Installs the build into a temporary prefix and checks the layout and the desktop, AppStream and
# systemd files there, then runs the installed program.
#   cmake -DBUILD=<build folder> -DWORK=<scratch folder> -P check_install.cmake
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${WORK}/usr"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
file(GLOB metainfo "${WORK}/usr/share/metainfo/*.metainfo.xml")
foreach(f bin/veltrano share/veltrano/skin/skinh.she share/veltrano/skin/blue.she
          share/applications/veltrano.desktop share/icons/hicolor/scalable/apps/veltrano.svg
          share/icons/hicolor/16x16/apps/veltrano.png share/icons/hicolor/256x256/apps/veltrano.png
          lib/systemd/system/veltrano.service lib/sysusers.d/veltrano.conf
          share/veltrano/sql/sqlserver/schema.sql share/man/man1/veltrano.1.gz)
  if(NOT EXISTS "${WORK}/usr/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
if(NOT metainfo)
  message(FATAL_ERROR "no AppStream metainfo installed")
endif()

# The unit runs the program where it was installed, and its sandbox stays tight.
set(unit "${WORK}/usr/lib/systemd/system/veltrano.service")
file(READ "${unit}" text)
if(NOT text MATCHES "\nExecStart=${WORK}/usr/bin/veltrano ")
  message(FATAL_ERROR "the unit does not run the installed program:\n${text}")
endif()
execute_process(COMMAND systemd-analyze security --offline=true --threshold=50 "${unit}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX MATCH "Overall exposure level[^\n]*" score "${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "systemd-analyze security: above 5.0 (${rc}): ${score}\n${err}")
endif()

# desktop-file-validate 0.26 does not know SingleMainWindow yet (desktop entry 1.5); all else counts.
execute_process(COMMAND desktop-file-validate "${WORK}/usr/share/applications/veltrano.desktop"
                OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REGEX REPLACE "[^\n]*\"SingleMainWindow\"[^\n]*" "" out "${out}")
if(out MATCHES "error:|warning:")
  message(FATAL_ERROR "desktop-file-validate:\n${out}")
endif()
execute_process(COMMAND appstreamcli validate --no-net ${metainfo} RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "appstreamcli validate:\n${out}")
endif()

execute_process(COMMAND "${WORK}/usr/bin/veltrano" --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^Veltrano ")
  message(FATAL_ERROR "the installed program does not run: ${rc} ${out}")
endif()
file(REMOVE_RECURSE "${WORK}")
message(STATUS "install layout ok; unit ${score}")
