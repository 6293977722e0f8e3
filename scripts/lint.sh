#!/usr/bin/env bash
# Static checks on the project's own code: formatting (clang-format), clang-tidy and
# cppcheck. Prints what it finds and fails if anything is found.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-lint
cmake -S . -B "$build" -DMAZECAR_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

mapfile -t sources < <(git ls-files 'src/*.cpp' 'src/*.h' 'protocol/*.cpp' 'protocol/*.h' 'server/*.cpp' 'server/*.h' \
                                    'tests/*.cpp' 'tests/*.h' 'fuzz/*.cpp' 'bench/*.cpp' \
                                    'tools/*.cpp' 'tools/*.h')
echo "clang-format: ${#sources[@]} files"
clang-format --dry-run -Werror "${sources[@]}"

mapfile -t units < <(git ls-files 'src/*.cpp' 'protocol/*.cpp' 'server/*.cpp' 'tools/*.cpp')
echo "clang-tidy: ${#units[@]} files"
clang-tidy -p "$build" --quiet "${units[@]}" 2>/dev/null

echo "cppcheck"
cppcheck --project="$build/compile_commands.json" -i "$build" \
         --enable=warning,performance,portability --inline-suppr --quiet --error-exitcode=1
echo "man pages (mandoc -T lint)"
mandoc -T lint -W warning docs/man/mazecar.6 docs/man/mazecar-server.6
echo "shellcheck"
shellcheck packaging/mazecar-launch packaging/make-icon.sh scripts/play.sh scripts/package-test.sh

echo "desktop entry and metainfo"
desktop-file-validate packaging/mazecar.desktop
appstreamcli validate --no-net packaging/*.metainfo.xml

echo "lint: clean"
