# Manual pages and the files Debian asks for, installed beside the commands.

# Manual pages: templates in man/, option and exit code tables from README.md.
# Debian wants them gzipped; Windows has no reader, so it gets HTML beside the README.
set(MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(MAN_PAGES "")
set(MAN_OUTPUTS "")
if(WIN32)
  find_program(MANDOC mandoc REQUIRED)
endif()
set(MAN_ARGUMENTS_junctor "LINK|TARGET")
set(MAN_ARGUMENTS_realpath PATH)
set(MAN_ARGUMENTS_tidyup DIR)
foreach(section junctor realpath tidyup)
  set(name ${section})
  if(section STREQUAL realpath)
    set(name ${REALPATH_NAME})
  endif()
  set(page ${MAN_DIR}/${name}.1)
  set(made ${page})
  set(html_args "")
  if(WIN32)
    set(html_args -DMANDOC=${MANDOC} -DHTML=${MAN_DIR}/${name}.html)
    set(made ${page} ${MAN_DIR}/${name}.html)
  endif()
  add_custom_command(OUTPUT ${made}
    COMMAND ${CMAKE_COMMAND} -DREADME=${CMAKE_SOURCE_DIR}/README.md -DSECTION=${section}
      -DTEMPLATE=${CMAKE_SOURCE_DIR}/man/${section}.1.in -DOUTPUT=${page}
      -DVERSION=${PROJECT_VERSION} -DREALPATH=${REALPATH_NAME}
      -DARGUMENTS=${MAN_ARGUMENTS_${section}} ${html_args}
      -P ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
    DEPENDS README.md man/${section}.1.in cmake/manpage.cmake
    VERBATIM)
  list(APPEND MAN_PAGES ${page})
  if(WIN32)
    install(FILES ${MAN_DIR}/${name}.html DESTINATION share/doc/junctor)
  else()
    add_custom_command(OUTPUT ${page}.gz COMMAND gzip -9nkf ${page} DEPENDS ${page} VERBATIM)
    install(FILES ${page}.gz DESTINATION share/man/man1)
    list(APPEND made ${page}.gz)
  endif()
  list(APPEND MAN_OUTPUTS ${made})
endforeach()
add_custom_target(manpages ALL DEPENDS ${MAN_OUTPUTS})

if(NOT WIN32)
  # What Debian asks of every package's documentation directory.
  file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog changelog_head LIMIT_COUNT 1)
  if(NOT changelog_head MATCHES "^junctor \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog does not start with version ${PROJECT_VERSION}")
  endif()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
    DEPENDS packaging/debian/changelog)
  add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
  install(FILES packaging/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION share/doc/junctor)
endif()
