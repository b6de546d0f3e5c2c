# Run by cpack after it has built the Debian packages (CPACK_POST_BUILD_SCRIPTS). Completes the
# control data where CPack cannot be told what Debian wants:
# - the Multi-Arch field: CPACK_MQW_DEB_MULTIARCH lists PACKAGE=VALUE pairs, and the named
#   package gets "Multi-Arch: VALUE" after its Architecture field;
# - the dynamic linker's cache: CPack refreshes it with ldconfig calls in postinst and postrm,
#   where Debian uses the ldconfig trigger; a package whose maintainer scripts do nothing else
#   gets the trigger instead of them.
# Each package changed is unpacked and packed again: contents, modes and md5sums unchanged,
# every file owned by root.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  execute_process(COMMAND dpkg-deb -f ${deb} Package OUTPUT_VARIABLE package
    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)

  set(multiarch "")
  foreach(pair IN LISTS CPACK_MQW_DEB_MULTIARCH)
    if(pair MATCHES "^${package}=(.+)$")
      set(multiarch ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(multiarch)
    file(READ ${tree}/DEBIAN/control control)
    string(REGEX REPLACE "Multi-Arch: [^\n]*\n" "" control "${control}")
    string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: ${multiarch}\n" control "${control}")
    file(WRITE ${tree}/DEBIAN/control "${control}")
  endif()

  set(ldconfig_only ON)
  set(has_scripts OFF)
  foreach(script postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      set(has_scripts ON)
      file(STRINGS ${tree}/DEBIAN/${script} lines)
      foreach(line IN LISTS lines)
        string(STRIP "${line}" line)
        if(NOT line MATCHES "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|ldconfig|fi|)$")
          set(ldconfig_only OFF)
        endif()
      endforeach()
    endif()
  endforeach()
  if(has_scripts AND ldconfig_only)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    file(WRITE ${tree}/DEBIAN/triggers "activate-noawait ldconfig\n")
  endif()

  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${deb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
