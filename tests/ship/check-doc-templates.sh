#!/usr/bin/env bash
# Runs every command template that the README, the manual page and the example service
# configuration show for Linux against files whose names hold several dots, so that a documented
# template that cannot work, or whose outputs collide, fails the build.
#
# Usage: check-doc-templates.sh HOTBATCH [README] [MANPAGE] [CONF]
#
# What counts as a template: in the README, every line that runs "hotbatch" in a ```sh block,
# and every block that sets HOTBATCH_COMMAND= (a service configuration); in the manual page the
# same inside .EX/.EE blocks; the whole example configuration. Sections about Windows are left
# out (their templates are written for cmd.exe). A line of any other block that holds a
# placeholder (@1@ to @5@) fails as untested, so a template in a new form cannot slip by. A README
# block that cannot run here (one that needs a cluster, say) is left out by a comment on the line
# before its fence: <!-- template-test: skip: the reason -->.
#
# Each template runs twice, each time in a fresh sandbox: once with one file (scan.2024.EXT),
# then with three (scan.2024.EXT, scan.2025.EXT and '-scan.2026 copy.EXT', a name that begins
# like an option and holds a blank). It passes when every file is processed without an error or a warning, the first run
# writes at least one file, and the second writes exactly three times as many: one output per
# input, none shared. Absolute paths under /srv/, /var/log/ and ~ are moved into the sandbox;
# folders the template writes into are created first; -l, -s and -g are dropped and -g 0 added,
# so each run is one quick pass. A program the template calls that is not installed is replaced
# by a stand-in that copies its input (its last argument, which must be an existing file) to the
# file named by -o FILE, -sOutputFile=FILE or a second argument, so the naming and quoting are
# still checked. The documents are the repository's own text and are evaluated as shell words.
set -uo pipefail
set -f # no globbing: patterns and templates are split into words below

binary=$(realpath "${1:?usage: check-doc-templates.sh HOTBATCH [README] [MANPAGE] [CONF]}")
root=$(cd "$(dirname "$0")/../.." && pwd)
readme=${2:-$root/README.md}
manpage=${3:-$root/docs/hotbatch.1}
conf=${4:-$root/examples/hotbatch-example.conf}
[ -x "$binary" ] || { echo "$binary is not an executable"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/hotbatch-templates.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
skipped=0

# --- Stand-ins for programs that are not installed -------------------------------------------

stand_ins=$work/stand-ins
mkdir "$stand_ins"
cat >"$work/stand-in" <<'EOF'
#!/bin/sh
# Stand-in converter: copies its input to its output. Options other than -o are ignored.
out=
input=
second=
expect_out=0
for arg in "$@"; do
  if [ "$expect_out" = 1 ]; then out=$arg; expect_out=0; continue; fi
  case $arg in
    -o) expect_out=1 ;;
    -sOutputFile=*) out=${arg#-sOutputFile=} ;;
    -*) ;;
    *) if [ -z "$input" ]; then input=$arg; else second=$arg; fi ;;
  esac
done
if [ -z "$out" ] && [ -n "$second" ]; then out=$second; fi
if [ -z "$input" ] || [ ! -f "$input" ]; then
  echo "stand-in $(basename "$0"): no input file among its arguments: $*" >&2
  exit 2
fi
if [ -n "$out" ]; then cat -- "$input" >"$out"; else cat -- "$input"; fi
EOF
chmod +x "$work/stand-in"

# Links the stand-in under the name of every program the template starts that is not installed.
provide_programs() {
  local template=$1 segment word
  while IFS= read -r segment; do
    word=$(sed -E 's/^[[:space:]]*(([A-Za-z_][A-Za-z_0-9]*=("[^"]*"|[^[:space:]]*))[[:space:]]*)*//; s/[[:space:]].*//' <<<"$segment")
    [ -n "$word" ] || continue
    case $word in */* | *=* | \"* | \'*) continue ;; esac
    if ! PATH=$stand_ins:$PATH command -v "$word" >/dev/null 2>&1; then
      ln -s "$work/stand-in" "$stand_ins/$word"
      echo "   (stand-in for $word, which is not installed)"
    fi
  done < <(sed -e 's/&&/\n/g; s/||/\n/g; s/[;|]/\n/g' <<<"$template")
}

# --- Running one template ----------------------------------------------------------------------

# Moves absolute paths under /srv/, /var/log/ and the home folder into sandbox $1.
into_sandbox() {
  local sandbox=$1 text=$2
  text=${text//$HOME_IN_DOCS\//$sandbox/home/}
  sed -E "s#(^|[[:space:]\"'=>])/(srv|var/log)/#\\1$sandbox/\\2/#g" <<<"$text"
}

# Creates the folder of every path in $2 that the command writes into: sandbox paths and paths
# relative to the source folder $3. Returns 1 for a path outside the sandbox that names a
# file of its own (one that holds a placeholder, or whose folder does not exist).
make_folders() {
  local sandbox=$1 text=$2 source=$3 token dir
  local IFS=$' \t\n"\'<>=;|&()'
  for token in $text; do
    case $token in */*) ;; *) continue ;; esac
    dir=$(dirname -- "$token")
    case $token in
      @[14]@*) continue ;;
      "$sandbox"/*) mkdir -p -- "$dir" ;;
      /*@[1-5]@*) outside=$token; return 1 ;;
      /*) [ -d "$dir" ] || { outside=$token; return 1; } ;;
      *) case $dir in *@[1-5]@*) ;; *) mkdir -p -- "$source/$dir" ;; esac ;;
    esac
  done
  return 0
}

# Writes input file $1; an EPS or PS file gets a one-page drawing that Ghostscript can convert.
make_input() {
  local path=$1 label=$2
  case ${path,,} in
    *.eps | *.ps)
      printf '%%!PS-Adobe-3.0 EPSF-3.0\n%%%%BoundingBox: 0 0 144 72\n' >"$path"
      printf '/Helvetica findfont 24 scalefont setfont 12 30 moveto (%s) show showpage\n' \
        "$label" >>"$path"
      printf '%%%%EOF\n' >>"$path" # as a PDF ends too, for templates that check their output
      ;;
    *) printf 'pear %s\napple %s\n' "$label" "$label" >"$path" ;;
  esac
}

# A file name that pattern $1 matches, with stem $2 in place of its first star.
name_for_pattern() {
  local pattern=$1 stem=$2 name
  name=${pattern/\*/$stem}
  name=${name//\*/}
  name=$(sed -E 's/\[[!^]?([^]-])[^]]*\]/\1/g; s/\?/x/g; s/\\(.)/\1/g' <<<"$name")
  printf '%s' "$name"
}

# Runs the template of argument list "$@" (hotbatch's arguments) from folder $cwd_in_docs in a
# fresh sandbox $1 with $2 input files. Sets run_output, run_status, new_files, inputs; a template
# that would write outside the sandbox is not run (status 99).
run_in_sandbox() {
  local sandbox=$1 count=$2
  shift 2
  mkdir -p "$sandbox/home" "$sandbox/cwd"
  local -a args=() words=("$@")
  local source="" log="" error="" success="" archive="" pattern command word value i=0
  while [ $i -lt ${#words[@]} ]; do
    word=${words[$i]}
    case $word in
      -[otdesgpac]*)
        value=$(into_sandbox "$sandbox" "${words[$((i + 1))]:-}")
        case ${word:1:1} in
          d) source=$value ;;
          o) log=$value; args+=(-o "$value") ;;
          e) error=$value; args+=(-e "$value") ;;
          t) success=$value; args+=(-t "$value") ;;
          p) mkdir -p -m 0700 "$value" && chmod 0700 "$value"; args+=(-p "$value") ;;
          a) archive=$value; args+=(-a "$value") ;;
          c) mkdir -p "$(dirname "$value")"; args+=(-c "$value") ;;
        esac
        i=$((i + 2))
        ;;
      -[jkb]*) args+=("${word:0:2}" "${words[$((i + 1))]:-}"); i=$((i + 2)) ;;
      -[lw]*) i=$((i + 1)) ;;
      -?*) args+=("$word"); i=$((i + 1)) ;;
      *) break ;;
    esac
  done
  pattern=${words[$i]:-}
  command=$(into_sandbox "$sandbox" "${words[$((i + 1))]:-}")
  last_command=$command
  inputs=()
  new_files=0
  local start=$sandbox/cwd
  [ -n "$cwd_in_docs" ] && start=$(into_sandbox "$sandbox" "$cwd_in_docs")
  case $source in "") source=$start ;; /*) ;; *) source=$start/$source ;; esac
  outside=""
  for value in "$start" "$source" "$error" "$archive"; do
    case $value in "" | "$sandbox"/* | [!/]*) ;; *) outside=$value ;; esac
  done
  [ -z "$outside" ] && mkdir -p "$start" "$source"
  case $error in "") ;; /*) mkdir -p "$error" ;; *) mkdir -p "$source/$error" ;; esac
  case $archive in "") ;; /*) mkdir -p "$archive" ;; *) mkdir -p "$source/$archive" ;; esac
  if [ -n "$outside" ] || ! make_folders "$sandbox" "$log" "$source" ||
    ! make_folders "$sandbox" "$success" "$source" || ! make_folders "$sandbox" "$command" "$source"; then
    run_status=99
    run_output="not run: '$outside' lies outside the test's sandbox (see into_sandbox)"
    return
  fi

  local stem
  for stem in scan.2024 scan.2025 "-scan.2026 copy"; do
    [ ${#inputs[@]} -lt "$count" ] || break
    inputs+=("$(name_for_pattern "$pattern" "$stem")")
    make_input "$source/${inputs[-1]}" "$stem"
  done
  local before=$work/before
  (cd "$sandbox" && find . -type f | sort) >"$before"
  run_output=$(cd "$start" && PATH=$stand_ins:$PATH HOME=$sandbox/home \
    timeout 120 "$binary" -g 0 -d "$source" "${args[@]}" "$pattern" "$command" 2>&1)
  run_status=$?
  local log_name=""
  [ -n "$log" ] && log_name=$(basename -- "$log")
  new_files=$(cd "$sandbox" && find . -type f | sort | comm -13 "$before" - |
    while IFS= read -r path; do
      if [ -z "$log_name" ] || [ "$(basename -- "$path")" != "$log_name" ]; then
        printf '%s\n' "$path"
      fi
    done | wc -l)
}

# Checks the output of the run that run_in_sandbox made. Prints what is wrong; returns 1 then.
check_run() {
  local name problems=0
  if [ "$run_status" -ne 0 ]; then
    echo "   hotbatch ended with status $run_status"
    problems=1
  fi
  for name in "${inputs[@]}"; do
    if ! grep -qF "Datei was processed: '$name'" <<<"$run_output"; then
      echo "   '$name' was not processed"
      problems=1
    fi
  done
  if grep -qE 'ERROR DURING PROCESSING|Warning:' <<<"$run_output"; then
    problems=1
  fi
  if [ "$problems" -ne 0 ]; then
    echo "   command as run: $last_command"
    sed 's/^/   | /' <<<"$run_output"
    return 1
  fi
  return 0
}

# Tests one template: the words after "hotbatch" in "$@". $where names its place in the documents.
test_template() {
  echo "== $where: $shown"
  local template=${*: -1}
  provide_programs "$template"
  local case_dir=$work/case-$((passed + failed))
  run_in_sandbox "$case_dir/one" 1 "$@"
  if ! check_run; then
    echo "   FAILED: the template does not work for one file"
    failed=$((failed + 1))
    return
  fi
  local per_input=$new_files
  run_in_sandbox "$case_dir/three" 3 "$@"
  if ! check_run; then
    echo "   FAILED: the template does not work for names with several dots, a leading '-' or a blank"
    failed=$((failed + 1))
  elif [ "$per_input" -lt 1 ]; then
    echo "   FAILED: one input wrote no file"
    failed=$((failed + 1))
  elif [ "$new_files" -ne $((3 * per_input)) ]; then
    echo "   FAILED: 3 inputs wrote $new_files files, not $((3 * per_input)): outputs collide"
    failed=$((failed + 1))
  else
    echo "   ok: ${inputs[*]} -> $new_files files"
    passed=$((passed + 1))
  fi
  rm -rf "$case_dir"
}

# --- Finding the templates ---------------------------------------------------------------------

# The documents' home folder: ~ and /home/you stand for a user's home folder.
HOME_IN_DOCS=/home/you

# Prints the README's fenced blocks outside sections about Windows, each as a line
# "@@block FILE:LINE LANGUAGE" followed by its lines.
readme_blocks() {
  awk -v file="$(basename "$1")" '
    /^```/ {
      if (!inside) {
        inside = 1
        language = substr($0, 4)
        if (opt_out != "") language = "skip " opt_out
        if (!skip) print "@@block " file ":" NR " " language
        opt_out = ""
        next
      }
      inside = 0; next
    }
    inside { if (!skip) print; next }
    /^<!-- template-test: skip/ {
      opt_out = $0
      sub(/^<!-- template-test: skip[: ]*/, "", opt_out); sub(/ *-->.*/, "", opt_out)
      if (opt_out == "") opt_out = "no reason given"
      next
    }
    /[^[:space:]]/ { opt_out = "" }
    /^#+ / {
      level = length($1)
      if (skip && level <= skip_level) skip = 0
      if (!skip && /Windows/) { skip = 1; skip_level = level }
    }' "$1"
}

# The same for the manual page: its .EX/.EE blocks outside sections or sub-sections about
# Windows, with the roff escapes the examples use turned back into text.
man_blocks() {
  awk -v file="$(basename "$1")" '
    /^\.S[HS] / { skip = ($0 ~ /Windows/); next }
    /^\.EX/ { inside = 1; if (!skip) print "@@block " file ":" NR " sh"; next }
    /^\.EE/ { inside = 0; next }
    inside && !skip { print }' "$1" |
    sed -e 's/\\-/-/g; s/\\(aq/'"'"'/g; s/\\(dq/"/g; s/\\(ga/`/g; s/\\&//g; s/\\e/\\/g'
}

# Runs the templates of the blocks read from standard input.
run_blocks() {
  local header="" language="" place="" line
  local -a lines=()
  # Blocks arrive whole; each is handled when the next header (or the end) is reached.
  while IFS= read -r line || [ -n "$line" ]; do
    if [[ $line == "@@block "* ]]; then
      [ -n "$header" ] && run_block
      header=$line
      place=${line#@@block }
      language=${place#* }
      place=${place%% *}
      lines=()
      continue
    fi
    lines+=("$line")
  done
  [ -n "$header" ] && run_block
}

# Runs the templates of one block: $place, $language, ${lines[@]}.
run_block() {
  local line joined="" cwd_in_docs="" found_template=0
  if [[ $language == "skip "* ]]; then
    echo "== $place: skipped (${language#skip })"
    skipped=$((skipped + 1))
    return 0
  fi
  local -a logical=()
  for line in "${lines[@]}"; do
    if [[ $line == *\\ ]]; then joined+="${line%\\} "; continue; fi
    logical+=("$joined$line")
    joined=""
  done
  local HOTBATCH_FOLDER="" HOTBATCH_PATTERN="" HOTBATCH_COMMAND="" HOTBATCH_OPTIONS=""
  local where=$place shown
  for line in "${logical[@]}"; do
    line=${line#"${line%%[![:space:]]*}"}
    [[ $line == "#"* ]] && continue
    case $language in
      sh | bash | "") ;;
      *) if [[ $line =~ @[1-5]@ ]]; then
        echo "== $place: untested template line in a $language block: $line"
        echo "   FAILED: a template outside a \`\`\`sh block is not run by this test"
        failed=$((failed + 1))
      fi; continue ;;
    esac
    if [[ $line =~ ^cd[[:space:]] ]]; then
      local -a cd_words=()
      HOME=$HOME_IN_DOCS eval "cd_words=( ${line#cd}
)"
      cwd_in_docs=${cd_words[0]:-}
    elif [[ $line =~ ^HOTBATCH_(FOLDER|PATTERN|COMMAND|OPTIONS)= ]]; then
      eval "$line"
    elif [[ $language == sh && $line =~ ^((sudo|setpriv)[[:space:]].*[[:space:]])?hotbatch[[:space:]] ]]; then
      # hotbatch's own arguments: those after the word "hotbatch", which only sudo, setpriv
      # and their options may precede.
      local -a words=()
      local start=0
      HOME=$HOME_IN_DOCS eval "words=( $line
)"
      while [ "${words[$start]:-}" != hotbatch ]; do
        case ${words[$start]:-} in sudo | setpriv | -*) start=$((start + 1)) ;; *) break ;; esac
      done
      if [ "${words[$start]:-}" != hotbatch ]; then
        echo "== $place: untested line: $line"
        echo "   FAILED: this test does not know how to run it"
        failed=$((failed + 1))
        continue
      fi
      shown=$line
      test_template "${words[@]:$((start + 1))}"
      found_template=1
    elif [[ $line =~ @[1-5]@ ]]; then
      echo "== $place: untested template line: $line"
      echo "   FAILED: this test does not know how to run it"
      failed=$((failed + 1))
    fi
  done
  if [ -n "$HOTBATCH_COMMAND" ]; then
    # The service runs: hotbatch -l -d FOLDER OPTIONS PATTERN COMMAND (options split at blanks).
    local -a options=()
    read -r -a options <<<"$HOTBATCH_OPTIONS"
    where="$place (service configuration)"
    shown="hotbatch -l -d ${HOTBATCH_FOLDER@Q} $HOTBATCH_OPTIONS ${HOTBATCH_PATTERN@Q} ${HOTBATCH_COMMAND@Q}"
    test_template -l -d "$HOTBATCH_FOLDER" "${options[@]}" "$HOTBATCH_PATTERN" "$HOTBATCH_COMMAND"
    found_template=1
  fi
  [ "$found_template" -eq 1 ] && templates_found=$((templates_found + 1))
  return 0
}

for document in "$readme" "$manpage"; do
  templates_found=0
  case $document in
    *.md) run_blocks < <(readme_blocks "$document") ;;
    *) run_blocks < <(man_blocks "$document") ;;
  esac
  if [ "$templates_found" -eq 0 ]; then
    echo "== $document: no template found"
    echo "   FAILED: the extraction no longer matches the document"
    failed=$((failed + 1))
  fi
done
templates_found=0
run_blocks < <(printf '@@block %s:1 sh\n' "$(basename "$conf")"; cat "$conf")
[ "$templates_found" -eq 1 ] || { echo "== $conf: no template found"; failed=$((failed + 1)); }

[ "$skipped" -eq 0 ] || echo "($skipped block(s) marked <!-- template-test: skip --> not run)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
