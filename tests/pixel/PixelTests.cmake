# add_pixel_tests(target [gtest_discover_tests options]): registers the GoogleTest
# cases of a pixel-test program with CTest; each case needs the X display that the
# pixel_display fixture checks. In sanitizer builds the cases get the leak
# suppressions for the GL and windowing libraries (tests/lsan.supp).
include(GoogleTest)

set(PIXEL_TEST_ENVIRONMENT "")
if(MAZECAR_SANITIZE AND EXISTS ${CMAKE_SOURCE_DIR}/tests/lsan.supp)
  set(PIXEL_TEST_ENVIRONMENT
    "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0")
endif()

function(add_pixel_tests target)
  gtest_discover_tests(${target} ${ARGN}
    PROPERTIES FIXTURES_REQUIRED pixel_display LABELS pixel TIMEOUT 120
               ENVIRONMENT "${PIXEL_TEST_ENVIRONMENT}")
endfunction()
