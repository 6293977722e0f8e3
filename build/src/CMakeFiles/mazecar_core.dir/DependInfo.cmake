
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/game/model.cpp" "src/CMakeFiles/mazecar_core.dir/game/model.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/game/model.cpp.o.d"
  "/work/main/src/game/status.cpp" "src/CMakeFiles/mazecar_core.dir/game/status.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/game/status.cpp.o.d"
  "/work/main/src/input/keyboard.cpp" "src/CMakeFiles/mazecar_core.dir/input/keyboard.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/input/keyboard.cpp.o.d"
  "/work/main/src/net/framing.cpp" "src/CMakeFiles/mazecar_core.dir/net/framing.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/net/framing.cpp.o.d"
  "/work/main/src/net/messages.cpp" "src/CMakeFiles/mazecar_core.dir/net/messages.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/net/messages.cpp.o.d"
  "/work/main/src/render/window.cpp" "src/CMakeFiles/mazecar_core.dir/render/window.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/render/window.cpp.o.d"
  "/work/main/src/screens/blink.cpp" "src/CMakeFiles/mazecar_core.dir/screens/blink.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/screens/blink.cpp.o.d"
  "/work/main/src/screens/lobby.cpp" "src/CMakeFiles/mazecar_core.dir/screens/lobby.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/screens/lobby.cpp.o.d"
  "/work/main/src/screens/panel.cpp" "src/CMakeFiles/mazecar_core.dir/screens/panel.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/screens/panel.cpp.o.d"
  "/work/main/src/screens/playfield.cpp" "src/CMakeFiles/mazecar_core.dir/screens/playfield.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/screens/playfield.cpp.o.d"
  "/work/main/src/screens/results.cpp" "src/CMakeFiles/mazecar_core.dir/screens/results.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/screens/results.cpp.o.d"
  "/work/main/src/screens/rows.cpp" "src/CMakeFiles/mazecar_core.dir/screens/rows.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/screens/rows.cpp.o.d"
  "/work/main/src/startup/checkin.cpp" "src/CMakeFiles/mazecar_core.dir/startup/checkin.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/startup/checkin.cpp.o.d"
  "/work/main/src/startup/shutdown.cpp" "src/CMakeFiles/mazecar_core.dir/startup/shutdown.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/startup/shutdown.cpp.o.d"
  "/work/main/src/startup/startup.cpp" "src/CMakeFiles/mazecar_core.dir/startup/startup.cpp.o" "gcc" "src/CMakeFiles/mazecar_core.dir/startup/startup.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
