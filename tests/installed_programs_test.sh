#!/bin/sh
# Installs the whole project into a scratch prefix, moves it, and checks that the programs start
# from there on their own: every shared library they load is found without LD_LIBRARY_PATH.
#   installed_programs_test.sh BUILD_DIR
set -eu
build=$1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset LD_LIBRARY_PATH

cmake --install "$build" --prefix "$scratch/first" >/dev/null
# Nothing may point back into the build folder or to the prefix the files were installed to.
mv "$scratch/first" "$scratch/moved"
prefix=$scratch/moved

for program in Sorvel_User sorvel-cli sorvel-config sorvel-record sorvel-boxsim; do
    [ -x "$prefix/bin/$program" ] || { echo "not installed: bin/$program"; exit 1; }
    # The dynamic loader lists what the program would load, without running it.
    missing=$(LD_TRACE_LOADED_OBJECTS=1 "$prefix/bin/$program" | grep 'not found' || true)
    [ -z "$missing" ] || { echo "$program cannot start:"; echo "$missing"; exit 1; }
done
"$prefix/bin/sorvel-config" --help >/dev/null
"$prefix/bin/sorvel-cli" --help >/dev/null
"$prefix/bin/sorvel-record" --help >/dev/null
echo "installed programs: every library found from the prefix"
