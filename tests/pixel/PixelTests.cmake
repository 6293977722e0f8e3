# add_pixel_tests(target [gtest_discover_tests options]): registers the GoogleTest cases of a pixel-test program with
# CTest; each case needs the X display that the pixel_display fixture checks.
include_guard(GLOBAL)
include(GoogleTest)

function(add_pixel_tests target)
  gtest_discover_tests(${target} ${ARGN}
    PROPERTIES FIXTURES_REQUIRED pixel_display LABELS pixel TIMEOUT 120)
endfunction()
