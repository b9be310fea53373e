#!/usr/bin/env bash
# The man pages as the package installs them, read the way lintian reads
# them. The build is installed into a folder of the test's own, and then:
#   - every program in the binary folders has a page, in any section;
#   - each page is gzip -9n (no name, no time), renders at a terminal's 80
#     columns and at lintian's 120 without a word on standard error, with
#     all of groff's warnings (lintian asks man --warnings for the macros'
#     alone), and holds no build path and no \' (which groff takes for an
#     acute accent);
#   - lexgrog reads its NAME section (the whatis entry) as "NAME - TEXT",
#     the page's own name among the names, and the .TH line names the
#     section of the folder it is installed in;
#   - a page of section 8 has the sections an installer looks for;
#   - a program's page names every option that its source files compare
#     arguments with ("--name").
# A tool that is missing is a failure: scripts/install-deps.sh installs them.
#
#   check-pages.sh CMAKE BUILD_DIR BIN_DIR SBIN_DIR MAN_DIR SOURCE_DIR [PAGE=SOURCE_FILE ...]
set -uo pipefail

cmake=$1 build=$2 bin_dir=$3 sbin_dir=$4 man_dir=$5 source_dir=$6
shift 6

failures=0
fail()
{
    echo "FAIL $*"
    failures=$((failures + 1))
}

for tool in man lexgrog groff gzip; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps.sh installs it)"
done
[ "$failures" -eq 0 ] || exit 1

stage=$(mktemp -d "${TMPDIR:-/tmp}/man-pages.XXXXXX") || exit 1
trap 'rm -rf "$stage"' EXIT
if ! DESTDIR="$stage" "$cmake" --install "$build" >"$stage.log" 2>&1; then
    cat "$stage.log"
    rm -f "$stage.log"
    echo "FAIL the build does not install"
    exit 1
fi
rm -f "$stage.log"
pages=$stage$man_dir

# As lintian runs them: an empty environment but PATH, C.UTF-8.
clean_env=(env -i "PATH=$PATH" LC_ALL=C.UTF-8)

for dir in "$stage$bin_dir" "$stage$sbin_dir"; do
    [ -d "$dir" ] || continue
    for program in "$dir"/*; do
        name=${program##*/}
        found=("$pages"/man*/"$name".*)
        [ -e "${found[0]}" ] || fail "${program#"$stage"} is installed without a man page"
    done
done

sections_8=("NAME" "SYNOPSIS" "DESCRIPTION" "OPTIONS" "ENVIRONMENT" "FILES" "EXIT STATUS" "SIGNALS" "EXAMPLES"
            "SEE ALSO")
count=0
for page in "$pages"/man*/*; do
    [ -e "$page" ] || continue
    count=$((count + 1))
    shown=${page#"$stage"}
    file=${page##*/}
    folder_section=${page%/*}
    folder_section=${folder_section##*/man}
    if [[ ! $file =~ ^(.+)\.([1-9])\.gz$ ]]; then
        fail "$shown: a page is installed as NAME.SECTION.gz"
        continue
    fi
    name=${BASH_REMATCH[1]}
    [ "${BASH_REMATCH[2]}" = "$folder_section" ] || fail "$shown: section ${BASH_REMATCH[2]} in man$folder_section"

    # gzip -9n: the header's flags name no file, its time is 0 and its
    # extra flags say the best compression.
    header=$(od -An -tx1 -N9 "$page" | tr -d ' \n')
    [ "${header:0:8}" = "1f8b0800" ] && [ "${header:8:8}" = "00000000" ] && [ "${header:16:2}" = "02" ] ||
        fail "$shown: not made by gzip -9n (header $header)"
    roff=$(gzip -dc "$page") || { fail "$shown: gzip cannot read it"; continue; }

    for width in 80 120; do
        warnings=$("${clean_env[@]}" MANROFFSEQ= MANWIDTH=$width \
                   man --warnings=w -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        status=$?
        [ "$status" -eq 0 ] || fail "$shown: man exits $status at $width columns"
        [ -z "$warnings" ] || fail "$shown: at $width columns: $warnings"
    done

    whatis=$("${clean_env[@]}" lexgrog "$page" 2>&1)
    status=$?
    if [ "$status" -ne 0 ]; then
        fail "$shown: lexgrog finds no whatis entry (status $status): $whatis"
    else
        entry=${whatis#*: \"}
        names=${entry%% - *}
        [[ "$entry" == *" - "* && ", $names," == *", $name,"* ]] ||
            fail "$shown: the whatis entry \"${entry%\"}\" does not name $name"
    fi

    th=$(grep -m1 '^\.TH ' <<<"$roff")
    [[ $th =~ ^\.TH\ \"?[^\"\ ]+\"?\ \"?([^\"\ ]+) ]] && [ "${BASH_REMATCH[1]}" = "$folder_section" ] ||
        fail "$shown: its title line \"$th\" is not of section $folder_section"
    if [ "$folder_section" = 8 ]; then
        for section in "${sections_8[@]}"; do
            grep -qx "\.SH \"\?$section\"\?" <<<"$roff" || fail "$shown: no section $section"
        done
    fi
    grep -qF -- "\\'" <<<"$roff" && fail "$shown: holds \\' (an acute accent to groff)"
    for path in "$build" "$source_dir"; do
        grep -qF -- "$path" <<<"$roff" && fail "$shown: names the build's path $path"
    done
done
[ "$count" -gt 0 ] || fail "no man page is installed under $man_dir"

# Each option a program's source compares an argument with, as "--name".
for pair in "$@"; do
    page=${pair%%=*}
    source=${pair#*=}
    installed=("$pages"/man*/"$page".gz)
    [ -e "${installed[0]}" ] || continue
    roff=$(gzip -dc "${installed[0]}")
    for option in $(grep -oE '"--[a-z][a-z0-9-]*"' "$source" | tr -d '"' | sort -u); do
        grep -qE -- "(^|[^a-z0-9-])$option([^a-z0-9-]|$)" <<<"$roff" ||
            fail "$page: ${source#"$source_dir"/} takes $option, which the page does not name"
    done
done

echo "$count man pages checked"
[ "$failures" -eq 0 ]
