# CPack runs this after staging the .deb's files: Debian wants the manual
# page compressed with gzip -9n, a changelog in its own format and a
# copyright file.
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${root}/share/doc/quillex)
if(NOT EXISTS ${doc}/CHANGELOG.md)
  message(FATAL_ERROR "deb-staging: nothing staged under ${root}")
endif()
execute_process(COMMAND gzip -9nf ${root}/share/man/man1/quillex.1 COMMAND_ERROR_IS_FATAL ANY)
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog "quillex (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Built from the sources; what each change adds is in CHANGELOG.md.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")
execute_process(COMMAND gzip -9nf ${doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
file(COPY_FILE ${CPACK_QUILLEX_SOURCE_DIR}/doc/copyright ${doc}/copyright)
