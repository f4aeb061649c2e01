#!/usr/bin/env bash
# usage: throws_are_errors.sh SOURCE_ROOT
# Fails, naming each line, when the library or its programs throw a bare
# message string: everything they throw is a disk_tools::error, which a
# program catching std::exception catches.
set -euo pipefail
root="${1:?usage: throws_are_errors.sh SOURCE_ROOT}"
cd "$root"
if grep -rnE 'throw +("|[A-Za-z_:]*_message *;)' include src programs; then
  echo "the lines above throw a bare string; throw a disk_tools::error"
  exit 1
fi
echo "every throw in include/, src/ and programs/ is an error object"
