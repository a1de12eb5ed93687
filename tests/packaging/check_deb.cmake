# Builds the Debian package with cpack and checks what it holds, what it depends on, and that
# lintian finds no error and no warning in it.
#   cmake -DBUILD=<build folder> -DWORK=<scratch folder> -P check_deb.cmake
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND cpack -G DEB --config "${BUILD}/CPackConfig.cmake" -B "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB debs "${WORK}/*.deb")
if(NOT rc EQUAL 0 OR NOT debs)
  message(FATAL_ERROR "cpack -G DEB failed: ${rc}\n${out}\n${err}")
endif()
list(GET debs 0 deb)
execute_process(COMMAND dpkg-deb -c "${deb}" OUTPUT_VARIABLE contents)
foreach(f ./usr/bin/veltrano ./usr/share/veltrano/skin/blue.she ./usr/share/applications/veltrano.desktop
          ./usr/share/icons/hicolor/scalable/apps/veltrano.svg ./usr/lib/systemd/system/veltrano.service
          ./usr/share/man/man1/veltrano.1.gz ./usr/share/doc/veltrano/copyright
          ./usr/share/doc/veltrano/changelog.gz)
  string(FIND "${contents}" "${f}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${f} is missing from ${deb}:\n${contents}")
  endif()
endforeach()
execute_process(COMMAND dpkg-deb -f "${deb}" Depends OUTPUT_VARIABLE depends)
foreach(d libqt6core6 libqt6sql6-sqlite libcurl)
  if(NOT depends MATCHES "${d}")
    message(FATAL_ERROR "Depends lacks ${d}: ${depends}")
  endif()
endforeach()
# Removing the package must stop the service and leave no link that starts it at boot.
execute_process(COMMAND dpkg-deb -I "${deb}" OUTPUT_VARIABLE control)
foreach(script postinst prerm postrm)
  if(NOT control MATCHES " ${script} ")
    message(FATAL_ERROR "no ${script} in ${deb}:\n${control}")
  endif()
endforeach()
find_program(LINTIAN lintian REQUIRED)
execute_process(COMMAND ${LINTIAN} --no-cfg "${deb}" OUTPUT_VARIABLE tags ERROR_VARIABLE tags)
if(tags MATCHES "(^|\n)[EW]: ")
  message(FATAL_ERROR "lintian:\n${tags}")
endif()
file(REMOVE_RECURSE "${WORK}")
message(STATUS "package ok: ${deb}")
