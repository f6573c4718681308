# The Windows build's unit and end-to-end tests run under Wine, in a private
# prefix of the build tree.
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

set_tests_properties(unit secrets PROPERTIES
  ENVIRONMENT "WINEPREFIX=${QUILLEX_WINEPREFIX};WINEDEBUG=-all"
  FIXTURES_REQUIRED wine RESOURCE_LOCK wine)

add_test(NAME e2e
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/e2e/run-e2e-wine.sh $<TARGET_FILE:quillex>)
set_tests_properties(e2e PROPERTIES TIMEOUT 2700
  ENVIRONMENT "QUILLEX_WINEPREFIX=${QUILLEX_WINEPREFIX}"
  FIXTURES_REQUIRED wine RESOURCE_LOCK wine)
