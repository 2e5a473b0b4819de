# Install locations (bin, share, share/man...) relative to the install prefix.
include(GNUInstallDirs)

# Installs the man page SOURCE (e.g. "tool.1") gzipped into its section, as
# Debian keeps man pages.
function(tovrin_install_man_page source)
  get_filename_component(name ${source} NAME)
  string(REGEX MATCH "[1-9]$" section ${name})
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${source}
    VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

# Documentation and examples, in the folder named after the Debian package.
set(TOVRIN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tovrin-authenticator)
