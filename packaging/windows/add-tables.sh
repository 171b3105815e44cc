#!/bin/sh
# Runs each statement of an SQL file (one per line; blank lines and lines starting with
# "#" are skipped) on a built installer package with msibuild.
# Usage: add-tables.sh MSIBUILD PACKAGE.msi STATEMENTS.sql
set -eu
msibuild=$1
package=$2
statements=$3
while IFS= read -r statement || [ -n "$statement" ]; do
  case "$statement" in
    '' | '#'*) continue ;;
  esac
  "$msibuild" "$package" -q "$statement"
done <"$statements"
