# The Windows build's tests run under Wine, in a private prefix of the build
# tree: the unit tests (through CMAKE_CROSSCOMPILING_EMULATOR) and the
# end-to-end suite with quillex.exe.
set(QUILLEX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the Windows tests")
set(QUILLEX_WINE_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/wine/wine-prefix.sh)

# Runs the program under test with the argument 0 that a test chooses.
add_executable(quillex_launch tools/win32/launch.cpp)
# Reads and replaces the OAuth tokens in the credential store.
add_executable(quillex_token_tool tools/win32/token_tool.cpp)
target_link_libraries(quillex_token_tool PRIVATE quillex_mail)

add_test(NAME wine_prefix COMMAND ${QUILLEX_WINE_SCRIPT} init ${QUILLEX_WINEPREFIX})
add_test(NAME wine_stop COMMAND ${QUILLEX_WINE_SCRIPT} stop ${QUILLEX_WINEPREFIX})
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 360 RESOURCE_LOCK wine)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60 RESOURCE_LOCK wine)

# Unit tests whose subject the Windows build takes from Windows itself:
# forward-slash paths, the locale's character set, the runtime's _tempnam
# names and its environment (no empty values), the layout that the profile
# functions write (CR LF lines, no directories made), POSIX permission bits
# and symbolic links, and sockets used before the socket library is started
# (Windows Sockets refuses them).
set(QUILLEX_POSIX_ONLY_UNIT_TESTS
  PartTest.ContentTypesWithoutSystemTable
  PartTest.AttachmentHeaders
  PartTest.Charset
  TempNameTest.DirectoryOrder
  TempNameTest.NamesAreNewAndTooLongDirectoryFallsBack
  ProfileFile.WriteCreatesFileAndSection
  ProfileFile.WriteKeepsEverythingElse
  ProfileFile.AppendsNewSectionAfterUnterminatedLastLine
  ProfileFile.WriteCreatesMissingDirectories
  ProfileFile.AFileThatCannotBeReadIsNotReplaced
  ProgramName.IsTheLastPathComponent
  ResolveHost.LooksNamesUp
  Connection.UnresolvableHostThrowsFailedToConnect
  ExclusiveFileTest.CreatesANewOwnerOnlyFile
  ExclusiveFileTest.NeverOpensAnExistingFileOrLink)
list(JOIN QUILLEX_POSIX_ONLY_UNIT_TESTS ":" QUILLEX_POSIX_ONLY_FILTER)
set_tests_properties(unit PROPERTIES
  ENVIRONMENT "WINEPREFIX=${QUILLEX_WINEPREFIX};WINEDEBUG=-all;GTEST_FILTER=-${QUILLEX_POSIX_ONLY_FILTER}"
  FIXTURES_REQUIRED wine RESOURCE_LOCK wine)

add_test(NAME e2e
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run-e2e-wine.sh $<TARGET_FILE:quillex>)
set_tests_properties(e2e PROPERTIES TIMEOUT 2700
  ENVIRONMENT "QUILLEX_WINEPREFIX=${QUILLEX_WINEPREFIX}"
  FIXTURES_REQUIRED wine RESOURCE_LOCK wine)
