#!/usr/bin/env bash
# Writes small seed inputs for every fuzz harness into OUT_DIR/<harness>/.
# Archives are made by the qartool in BIN_DIR, so they follow the format as
# the tool writes it; two are then patched into the states an interrupted
# append leaves behind.
# Usage: fuzz/make_seeds.sh BIN_DIR OUT_DIR
set -euo pipefail
bin="$(cd "$1" && pwd)"
out="$(mkdir -p "$2" && cd "$2" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# --- archives ---------------------------------------------------------------
mkdir -p "$work/files" "$work/many" "$out/archive"
cd "$work/files"
printf 'hello hello hello hello hello hello hello hello\n' > text.txt
head -c 300 /dev/urandom > noise.bin
printf 'abc' > tiny.txt
printf 'A sixteen byte n' > SixteenByteName1
cd "$work"
q() { "$bin/qartool" "$@" > /dev/null 2>&1 || true; }
q a empty.qar no-such-file
q a plain.qar files/*
q -p secret a masked.qar files/*
q -k 7 a keyed.qar files/text.txt
cp plain.qar deleted.qar && q d deleted.qar tiny.txt
cp plain.qar replaced.qar && q u replaced.qar files/text.txt
for i in $(seq 100 199); do printf 'r%s' "$i" > "many/f$i"; done
q a hundred.qar many/*
for i in 200 201; do printf 'r%s' "$i" > "many/f$i"; done
q a hundred-two.qar many/*

# Patches the 32-bit record count at offset 16 of an archive copy.
set_count() { printf "$(printf '\\x%02x\\x%02x' $(($2 & 255)) $(($2 >> 8)))" |
              dd of="$1" bs=1 seek=16 conv=notrunc status=none; }
cp plain.qar slot-ahead.qar && set_count slot-ahead.qar 3
# Record names that point outside the current directory: "../sentinel" and
# "link" (the extract harness keeps a link of that name to its sentinel).
printf 'x' > "$work/abcsentinel" && printf 'y' > "$work/link"
q a hostile.qar abcsentinel link
printf '../' | dd of=hostile.qar bs=1 seek=32 conv=notrunc status=none
cp hundred.qar table-ahead.qar && set_count table-ahead.qar 99
cp *.qar "$out/archive/"
mkdir -p "$out/archive_read" "$out/extract"
for h in archive_read extract; do cp "$out"/archive/*.qar "$out/$h/"; done
rm -rf "$out/archive"

# --- wildcard: name, a zero byte, pattern -------------------------------------
mkdir -p "$out/wildcard"
n=0
for pair in 'a.txt *.txt' '.abc [.]abc' 'bx [a-c]x' 'a [-a]' 'ax [a-]x]' '* \*' \
            'abc [!]x' 'abc a*b*c*' 'x.y.txt *.txt' 'readme README' 'ab [ab'; do
    n=$((n + 1))
    printf '%s\0%s' "${pair%% *}" "${pair#* }" > "$out/wildcard/seed$n"
done

# --- sprite tables ------------------------------------------------------------
# Written per form first, then prefixed with the byte that picks the reader.
mkdir -p "$work/txt" "$work/csv" "$work/xml" "$out/sprite_reader"
printf '# NAME............................ TEXTURE. U.... V.... W.... H.... FLAGS.....\n"hero"                             tex1         0     0    32    32 0x00000001\n"a 32 character name for a sprite" texture8 65535     1    -1 70000 0xABCDEF12\n' \
    > "$work/txt/rows.txt"
printf '"one" t 1 2 3 4 0x5\n@include "inc.txt"\n@include "self.txt"\n@include\n@include "abc\n' \
    > "$work/txt/includes.txt"
printf '"x" t 1 2 3 4 0x5\r\n@include "input.txt"\r\n' > "$work/txt/self.txt"
printf 'hero,tex1,0,0,32,32,0x00000001\na;b;010;0x10;-1\na,,b,1\n\t;x,y\n' \
    > "$work/csv/rows.csv"
printf 'n,t,4294967296,-2,0X7fff,077,0xffffffff,extra\n' > "$work/csv/numbers.csv"
printf '<?xml version="1.0" standalone="no"?>\n<spritetable>\n\t<sprite name="hero" texture="tex1" u="0" v="0" width="32" height="32" flags="0x00000001"/>\n\t<sprite name="a&amp;b" texture="t" u="0x10" v="-1" width="abc"/>\n</spritetable>\n' \
    > "$work/xml/rows.xml"
printf '<spritetable><include file="inc.xml"/><include file="self.xml"/><include file=""/><include/><sprite name="" texture=""/><Sprite name="a" texture="b"/></spritetable>' \
    > "$work/xml/includes.xml"
printf '<spritetable><sprite name="x" texture="t"/><include file="input.xml"/></spritetable>' \
    > "$work/xml/self.xml"
# --- JSON sprite tables ----------------------------------------------------------
mkdir -p "$out/json_reader"
printf 'hero,chars_01,0,0,32,48,0x1\nab\xe9,t,65535,1,2,3,0xffffffff\n' > "$work/seed.csv"
"$bin/sprtool" wc "$work/seed.stb" "$work/seed.csv" > /dev/null 2>&1 || true
"$bin/sprtool" rj "$work/seed.stb" "$out/json_reader/written.json" > /dev/null 2>&1 || true
printf '\xef\xbb\xbf[{"flags":17,"name":"caf\xc3\xa9\\u00e9","texture":"t\\"","u":1,"v":2,"width":3,"height":4,"x":{"y":[null,true,1.5e3]}},5,{"name":"\\u263a"},{"name":"a","u":-1,"u":2}]\r\n' \
    > "$out/json_reader/members.json"
printf '[[[[{"a":"\\ud800"}]]]' > "$out/json_reader/broken.json"

# --- tables for the check and the page: the sample above, and overlapping hostile names
mkdir -p "$out/sprite_view"
cp "$work/seed.stb" "$out/sprite_view/sample.stb"
printf '"<b>&amp;]]>" t 0 0 8 8 0x0\n"\xff\xfe\x1b[31m" t 4 4 8 8 0x0\n"flat" t 2 2 0 8 0x0\n' \
    > "$work/hostile.txt"
"$bin/sprtool" wt "$out/sprite_view/hostile.stb" "$work/hostile.txt" > /dev/null 2>&1 || true

n=0
for form in txt csv xml; do
    for f in "$work/$form"/*; do
        { printf '%d' "$n"; cat "$f"; } > "$out/sprite_reader/$form-$(basename "$f")"
    done
    n=$((n + 1))
done
