file(REMOVE_RECURSE
  "CMakeFiles/mazecar.dir/startup/main.cpp.o"
  "CMakeFiles/mazecar.dir/startup/main.cpp.o.d"
  "mazecar"
  "mazecar.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/mazecar.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
