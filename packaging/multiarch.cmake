# Run by cpack after it built the package: CPack writes no Multi-Arch field,
# so the package is unpacked, "Multi-Arch: same" added to its control file
# (the i386 and amd64 packages install side by side), and packed again.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  if(NOT control MATCHES "\nMulti-Arch:")
    string(REGEX REPLACE "\nDescription:" "\nMulti-Arch: same\nDescription:" control "${control}")
    file(WRITE ${tree}/DEBIAN/control "${control}")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${deb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
