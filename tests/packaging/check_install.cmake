# Installs the build into a temporary prefix and checks the layout, then runs the installed program.
#   cmake -DBUILD=<build folder> -DWORK=<scratch folder> -P check_install.cmake
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${WORK}/usr"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f bin/veltrano share/veltrano/skin/skinh.she share/veltrano/skin/blue.she
          share/applications/veltrano.desktop share/icons/hicolor/scalable/apps/veltrano.svg
          lib/systemd/system/veltrano.service lib/sysusers.d/veltrano.conf
          share/veltrano/sql/sqlserver/schema.sql)
  if(NOT EXISTS "${WORK}/usr/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
execute_process(COMMAND "${WORK}/usr/bin/veltrano" --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^Veltrano ")
  message(FATAL_ERROR "the installed program does not run: ${rc} ${out}")
endif()
file(REMOVE_RECURSE "${WORK}")
message(STATUS "install layout ok")
