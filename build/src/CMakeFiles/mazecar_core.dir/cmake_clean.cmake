file(REMOVE_RECURSE
  "CMakeFiles/mazecar_core.dir/game/model.cpp.o"
  "CMakeFiles/mazecar_core.dir/game/model.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/game/status.cpp.o"
  "CMakeFiles/mazecar_core.dir/game/status.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/input/keyboard.cpp.o"
  "CMakeFiles/mazecar_core.dir/input/keyboard.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/net/framing.cpp.o"
  "CMakeFiles/mazecar_core.dir/net/framing.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/net/messages.cpp.o"
  "CMakeFiles/mazecar_core.dir/net/messages.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/render/window.cpp.o"
  "CMakeFiles/mazecar_core.dir/render/window.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/screens/blink.cpp.o"
  "CMakeFiles/mazecar_core.dir/screens/blink.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/screens/lobby.cpp.o"
  "CMakeFiles/mazecar_core.dir/screens/lobby.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/screens/panel.cpp.o"
  "CMakeFiles/mazecar_core.dir/screens/panel.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/screens/playfield.cpp.o"
  "CMakeFiles/mazecar_core.dir/screens/playfield.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/screens/results.cpp.o"
  "CMakeFiles/mazecar_core.dir/screens/results.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/screens/rows.cpp.o"
  "CMakeFiles/mazecar_core.dir/screens/rows.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/startup/checkin.cpp.o"
  "CMakeFiles/mazecar_core.dir/startup/checkin.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/startup/shutdown.cpp.o"
  "CMakeFiles/mazecar_core.dir/startup/shutdown.cpp.o.d"
  "CMakeFiles/mazecar_core.dir/startup/startup.cpp.o"
  "CMakeFiles/mazecar_core.dir/startup/startup.cpp.o.d"
  "libmazecar_core.a"
  "libmazecar_core.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/mazecar_core.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
