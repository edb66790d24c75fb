# What `cmake --install` puts into a prefix, and the release archive that
# `cpack` makes from it: objkit-<version>-<target>.tar.gz, where the target is
# the processor the build is for (x86_64-linux-gnu natively,
# powerpc-linux-gnu and i686-linux-gnu in the cross builds).
#
#   lib/objkit.so                  the library
#   share/objkit/objkit.zel        the module's ZEL source (the folder WQ_ZEL names)
#   bin/zel                        the interpreter, native builds only
#   share/doc/objkit/              README, CHANGELOG, LICENSE, docs/ and examples/, laid
#                                  out as in the source tree so that links hold
#
# The install folders come from GNUInstallDirs and OBJKIT_SCRIPT_DIR, set at the
# top (zel is built knowing where they lie from its bin/).
set(OBJKIT_TARGET_TRIPLE ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
set(OBJKIT_RELEASE_NAME objkit-${PROJECT_VERSION}-${OBJKIT_TARGET_TRIPLE})

install(TARGETS objkit LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(NOT CMAKE_CROSSCOMPILING)
  install(TARGETS zel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES scripts/objkit.zel DESTINATION ${OBJKIT_SCRIPT_DIR})
file(GLOB objkit_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES README.md CHANGELOG.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${objkit_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
file(GLOB objkit_examples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.zel)
install(FILES ${objkit_examples} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME objkit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${OBJKIT_RELEASE_NAME})
set(CPACK_STRIP_FILES ON)
include(CPack)
