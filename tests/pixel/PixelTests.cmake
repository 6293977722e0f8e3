# add_pixel_tests(target [gtest_discover_tests options]): registers the GoogleTest
# cases of a pixel-test program with CTest; each case needs the X display that the
# pixel_display fixture checks. In sanitizer builds they run without the leak check:
# its stop-the-world tracer at exit now and then crashes ("Tracer caught signal 11")
# while Mesa's llvmpipe threads wind down, more often with several tests at once, and
# the only memory it could find there is the GL and windowing libraries' (the drawing
# code allocates nothing). The client's own code keeps the leak check in core_tests.
include(GoogleTest)

set(PIXEL_TEST_ENVIRONMENT "")
if(MAZECAR_SANITIZE)
  set(PIXEL_TEST_ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0")
endif()

function(add_pixel_tests target)
  gtest_discover_tests(${target} ${ARGN}
    PROPERTIES FIXTURES_REQUIRED pixel_display LABELS pixel TIMEOUT 120
               ENVIRONMENT "${PIXEL_TEST_ENVIRONMENT}")
endfunction()
