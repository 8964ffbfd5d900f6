# What `cmake --install` puts where for Windows: one folder that the zip holds
# (scripts/build-windows.sh packs it), and that runs from wherever it is
# unpacked, because Windows finds a program's DLLs beside it.
#
#   pelvane-cli.exe, pelvane-pkg.exe       the programs
#   *.dll                                  the components, the core, the compiler's run-time
#                                          libraries and the GPIB simulator driver
#   examples/example.qxpkg                 the example package
#   README.md, docs/*.md, docs/*.txt       the README, the guides, the manual pages as text
set(windows_programs pelvane-cli pelvane-pkg)
set(windows_components pelvane_core corlane holvern vendrel lunwick ardmel)
install(TARGETS ${windows_programs} ${windows_components} RUNTIME DESTINATION .)
if(TARGET pelvane-gpib-sim)
  install(TARGETS pelvane-gpib-sim RUNTIME DESTINATION .)
endif()
install(FILES ${PELVANE_RUNTIME_DLLS} DESTINATION .)
install(FILES ${PELVANE_EXAMPLE_PACKAGE} DESTINATION examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES
  ${PROJECT_SOURCE_DIR}/docs/windows.md
  ${PROJECT_SOURCE_DIR}/docs/troubleshooting.md
  ${PROJECT_SOURCE_DIR}/docs/upload-and-cli.md
  ${PROJECT_SOURCE_DIR}/docs/package-tool.md
  ${PROJECT_SOURCE_DIR}/docs/package-format.md
  ${PROJECT_SOURCE_DIR}/docs/gpib.md
  DESTINATION docs)

# The manual pages as plain text, since Windows has no man.
find_program(GROFF groff REQUIRED)
set(text_pages)
foreach(program pelvane-cli pelvane-pkg)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/docs/${program}.txt)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/docs
    COMMAND ${GROFF} -man -rHY=0 -Tutf8 -P-cbou ${PROJECT_SOURCE_DIR}/docs/man/${program}.1 > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${program}.1
    COMMENT "Writing the manual page of ${program} as text")
  list(APPEND text_pages ${out})
endforeach()
add_custom_target(text_manual_pages ALL DEPENDS ${text_pages})
install(FILES ${text_pages} DESTINATION docs)
