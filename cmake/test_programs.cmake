# The component tests of tests/cpp and the clock stub some tests preload.
# (The Windows checks build in a MinGW-w64 build of their own:
# cmake/windows_checks.cmake.)
set(TVX_TEST_DIR ${CMAKE_CURRENT_BINARY_DIR}/tests)
# The undefined-behaviour sanitizer always; a sanitizer build adds its own.
set(TVX_UBSAN -fsanitize=undefined -fno-sanitize-recover=all)

function(tvx_test_flags name)
  # Assertions on, whatever the build type; -g1: the line tables a report's
  # stack needs (-g took a fifth longer to compile).
  target_compile_options(${name} PRIVATE -O1 -g1 -UNDEBUG -Wall -Wextra -Werror ${TVX_UBSAN})
  target_link_options(${name} PRIVATE ${TVX_UBSAN})
endfunction()
function(tvx_test_program name)
  add_executable(${name} ${ARGN})
  tvx_test_flags(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TVX_TEST_DIR})
endfunction()

# The engine's components, each compiled once for every program (a program
# links only the objects it uses).
add_library(tvx_test_engine STATIC
  sandbox/src/book.cpp sandbox/src/ledger.cpp sandbox/src/order_store.cpp sandbox/src/calendar.cpp
  sandbox/src/market_data.cpp sandbox/src/exchange.cpp sandbox/src/instrument.cpp)
tvx_test_flags(tvx_test_engine)
foreach(name IN ITEMS book ledger order_store exchange calendar market_data)
  tvx_test_program(test_${name} tests/cpp/test_${name}.cpp)
  target_link_libraries(test_${name} PRIVATE tvx_test_engine)
endforeach()
tvx_test_program(test_subscription_key tests/cpp/test_subscription_key.cpp realtime/subscription_key.cpp)

add_library(frozen_clock SHARED tests/cpp/frozen_clock.cpp)
set_target_properties(frozen_clock PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${TVX_TEST_DIR})
# What scripts/test-programs.sh builds: these alone, not the library or module.
add_custom_target(test_programs DEPENDS test_book test_ledger test_order_store test_exchange test_calendar
                                        test_market_data test_subscription_key frozen_clock)

