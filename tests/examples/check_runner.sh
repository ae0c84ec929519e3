#!/usr/bin/env bash
# The example runner, scripts/check-examples.sh, passes the examples that
# work and fails, with its message, on each kind of broken example and
# wrong marker.
#   check_runner.sh RUNNER
# The programs (mkbak, unbak) are the ones first on PATH.
set -u
runner=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/check-runner.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
fail=0

# run NAME STATUS MESSAGE...: the runner, given the file NAME that the
# test wrote into $tmp, exits STATUS and prints every MESSAGE.
run() {
    local name=$1 want=$2 message
    shift 2
    local out
    out=$(bash "$runner" "$tmp/$name" 2>&1)
    local got=$?
    if [ "$got" -ne "$want" ]; then
        printf '%s: the runner exited %d, not %d; it printed:\n%s\n' "$name" "$got" "$want" "$out"
        fail=1
        return
    fi
    for message in "$@"; do
        if ! grep -qF -- "$message" <<<"$out"; then
            printf '%s: no "%s" in what the runner printed:\n%s\n' "$name" "$message" "$out"
            fail=1
        fi
    done
}

# Every form that should pass: a transcript with "...", a line ending in
# "...", "> " continued commands, cd that holds for the next command, a
# status on the last command, output=contains, a script with a status, a
# start directory, syntax-only, and a plain block that needs no marker.
cat >"$tmp/good.md" <<'DOC'
<!-- example: set=three-disk -->
```console
$ unbak set.003
...
Backup name: bundled example
Job 1  Backup Disk 3
Catalog at  offset ...
...
$ for i in set.*; do
> echo "$i"
> done
set.001
set.002
set.003
$ mkdir sub && cd sub
$ pwd | grep -c /sub$
1
$ unbak ../set.001
...
no Catalog on this disk
```

<!-- example: set=three-disk output=contains status=8 -->
```console
$ printf 'N\n../set.001\n' | unbak set.003 -x
enter char:
enter file name for disk 1 image followed by 'Enter', empty name aborts
```

<!-- example: set=one-disk,photos cd=restored status=3 -->
```sh
unbak ../backup.001 -x > /dev/null
diff -r C_ ../photos
exit 3
```

<!-- example: syntax-only -->
```sh
scripts/deps.sh build
cmake -S . -B build && cmake --build build
```

```
plain output, no marker needed
```
DOC
run good.md 0 "good.md: 4 examples passed, 0 failed"
# Each file's examples start afresh (the mkdir of the first would fail).
cp "$tmp/good.md" "$tmp/again.md"
out=$(bash "$runner" "$tmp/good.md" "$tmp/again.md" 2>&1) ||
    { printf 'good.md and again.md in one run failed:\n%s\n' "$out"; fail=1; }

# The README's one-liner as it once was: the last disk left out.
cat >"$tmp/status.md" <<'DOC'
<!-- example: set=three-disk-img -->
```sh
printf 'N\ndisk1.img\ndisk2.img\n' | unbak disk3.img -x
```
DOC
run status.md 1 "status.md:2: the script exited 8, not 0"

cat >"$tmp/output.md" <<'DOC'
<!-- example: set=three-disk -->
```console
$ unbak set.003 | grep Catalog
Catalog at  offset 0xd70
$ ls
set.001
set.003
```
DOC
run output.md 1 "output.md:2: \$ unbak set.003 | grep Catalog: output not as shown" \
    "shown, never printed: Catalog at  offset 0xd70" \
    "output.md:2: \$ ls: output not as shown" "output.md: 0 examples passed, 1 failed"

cat >"$tmp/markers.md" <<'DOC'
```sh
echo unmarked
```

<!-- example: -->

text between the marker and the block
```sh
echo x
```

<!-- example: bogus=1 -->
```sh
echo x
```

<!-- example: set=nosuchset -->
```sh
echo x
```

<!-- example: -->
```
not a shell block
```

<!-- example: syntax-only -->
```sh
scripts/no-such-script.sh
if then
```
DOC
run markers.md 1 "markers.md:1: sh block without an example marker" \
    "markers.md:5: marker not followed by a code block" \
    "unknown marker option bogus=1" "no fixture named nosuchset" \
    "markers.md:22: marker not just before a sh, bash, shell or console block" \
    "not valid bash" "scripts/no-such-script.sh does not exist"

# A page: escapes read as groff prints them, requests between the marker
# and .EX, unmarked displays outside EXAMPLES left alone.
cat >"$tmp/good.1" <<'DOC'
.TH X 1
.SH DESCRIPTION
.EX
$ not run: a display outside EXAMPLES
.EE
.SH EXAMPLES
.\" example: set=three-disk
.PP
.in +4n
.EX
$ printf \(aq%s\en\(aq \(aq\-pC:\eData\(aq \(dqa b\(dq \&.x
-pC:\eData
a b
\&.x
$ unbak set.003 \-l | grep \-c \(aq: C:\(aq
9
.EE
.in
DOC
run good.1 0 "good.1: 1 examples passed, 0 failed"

cat >"$tmp/bad.1" <<'DOC'
.TH X 1
.SH EXAMPLES
.EX
unbak set.003
.EE
.\" example:
.EX
echo \(lqquoted\(rq
.in 2
.EE
.\" example:
text
.EX
echo x
.EE
DOC
run bad.1 1 "bad.1:3: example without a marker in EXAMPLES" "bad.1:8: escape \\(lq" \
    "bad.1:9: request inside an example block" "bad.1:11: marker not followed by .EX"

exit $fail
