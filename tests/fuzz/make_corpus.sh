#!/usr/bin/env bash
# Writes the seed corpus of the fuzz targets into tests/fuzz/corpus/ (run by
# hand after changing it; the files are kept in the repository).
#
# cue/: a sheet, then two NUL bytes, then the bytes cue_fuzz serves for every
# file the sheet names (a sheet without the NUL bytes names files that do not
# exist). Names give the outcome: "tracksNN-..." parses to NN tracks,
# "bad-..." is refused.
# toc/: READ TOC answers (format 0). "rowsNN-..." gives NN rows of the table.
# answer/: a letter choosing the reader (tests/fuzz/AnswerFeed.h), then a
# network answer. "ok-..." is read, "none-..." says the disc is not known,
# "bad-..." is refused.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cue=$here/corpus/cue
toc=$here/corpus/toc
answers=$here/corpus/answer
data=$here/../data
rm -rf "$cue" "$toc" "$answers"
mkdir -p "$cue" "$toc" "$answers"

# Raw bytes given as hex pairs ("52 49 46 46").
hex() {
    local b
    for b in "$@"; do printf "\\x$b"; done
}
byte() { printf "\\x$(printf %02x $(($1 & 255)))"; }
le16() { byte "$1"; byte $(($1 >> 8)); }
le32() { le16 "$1"; le16 $(($1 >> 16)); }
be32() { byte $(($1 >> 24)); byte $(($1 >> 16)); byte $(($1 >> 8)); byte "$1"; }
# `count` bytes of a repeating pattern: samples that are not silence.
pattern() { head -c "$1" < <(yes 'vindral!' | tr -d '\n'); }

# A RIFF WAVE file: format tag, channels, rate, bits; `bytes` of samples.
wave() {
    local tag=$1 channels=$2 rate=$3 bits=$4 bytes=$5
    local align=$((channels * bits / 8))
    printf 'RIFF'; le32 $((4 + 24 + 8 + bytes)); printf 'WAVEfmt '; le32 16
    le16 "$tag"; le16 "$channels"; le32 "$rate"; le32 $((rate * align)); le16 "$align"
    le16 "$bits"; printf 'data'; le32 "$bytes"; pattern "$bytes"
}
# The same with a 40-byte extensible format chunk and an odd-length chunk first.
wave_extensible() {
    local bytes=$1
    printf 'RIFF'; le32 $((4 + 12 + 48 + 8 + bytes)); printf 'WAVE'
    printf 'LIST'; le32 3; printf 'abc\0'
    printf 'fmt '; le32 40; le16 65534; le16 2; le32 44100; le32 176400; le16 4; le16 16
    le16 22; le16 16; le32 3; le16 1; hex 00 00 00 00 10 00 80 00 00 aa 00 38 9b 71
    printf 'data'; le32 "$bytes"; pattern "$bytes"
}

# A FLAC file of `bytes` of the pattern as CD audio, encoded by the flac
# program into a file (so that it records its length), then cut to `keep`
# bytes when given.
flac_of() {
    local file
    file=$(mktemp)
    pattern "$1" | flac -s -f --force-raw-format --endian=little --sign=signed --channels=2 \
        --bps=16 --sample-rate=44100 --blocksize=1152 --no-padding -o "$file" -
    head -c "${2:-$(stat -c %s "$file")}" "$file"
    rm -f "$file"
}

seed() { # name, sheet text, then the file content on standard input
    { printf '%s' "$2"; printf '\0\0'; cat; } > "$cue/$1"
}

s=2352 # bytes of a sector

pattern 100 | seed tracks01-binary-unquoted $'FILE disc.bin BINARY\nTRACK 01 AUDIO\n  INDEX 01 00:00:00\n'
pattern $((2 * s + 1)) | seed tracks02-binary-quoted-index00 \
$'FILE "my disc.bin" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 00 00:00:01\n    INDEX 01 00:00:02\n'
pattern $((s + 7)) | seed tracks02-motorola-gaps \
$'FILE "disc.bin" MOTOROLA\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nPOSTGAP 00:00:05\nTRACK 02 AUDIO\nPREGAP 00:02:00\nINDEX 01 00:00:01\n'
pattern 9 | seed tracks01-unquoted-name-with-blanks \
$'FILE my old disc.bin BINARY\n\tTRACK 1 audio\n\tindex 1 0:00:00\n'
wave 1 2 44100 16 64 | seed tracks01-wave $'FILE "song.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n'
wave_extensible $((s + 12)) | seed tracks02-wave-extensible-index00 \
$'FILE "song.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:00:00\n    INDEX 02 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:00:01\n'
wave 1 2 44100 16 40 | seed tracks03-several-files \
$'FILE "a.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\nFILE "b side.bin" BINARY\n  TRACK 02 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:00:00\nFILE c.bin MOTOROLA\n  TRACK 03 AUDIO\n    PREGAP 00:00:10\n    INDEX 01 00:00:00\n'
pattern $s | seed tracks02-mode1-data \
$'FILE "data.bin" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\nFILE "audio.bin" BINARY\n  TRACK 02 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 00:00:00\n'
pattern $((3 * s)) | seed tracks03-damage \
$'REM DAMAGE UNREADABLE 1 1\nREM DAMAGE UNSTABLE 4 2\nrem damage unreadable 0 1\nFILE disc.bin BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:00:01\nFILE disc.bin BINARY\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n'
pattern 600 | seed tracks01-bom-crlf-metadata \
$'\xEF\xBB\xBFREM GENRE Rock\r\nCATALOG 0000000000000\r\nPERFORMER "Someone"\r\nTITLE "A Disc"\r\nCDTEXTFILE "disc.cdt"\r\nFILE "disc.bin" BINARY  \r\n  TRACK 01 AUDIO\r\n    TITLE "One"\r\n    PERFORMER "Someone"\r\n    SONGWRITER "Someone Else"\r\n    ISRC ABCDE1234567\r\n    FLAGS DCP PRE\r\n    INDEX 01 00:00:00\r\n'

pattern 100 | seed bad-unknown-keyword $'FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nWHATEVER 1\n'
pattern 100 | seed bad-unterminated-quote $'FILE "disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-track-before-file $'TRACK 01 AUDIO\nFILE disc.bin BINARY\nINDEX 01 00:00:00\n'
pattern $((3 * s)) | seed bad-track-numbers-skip \
$'FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 03 AUDIO\nINDEX 01 00:00:02\n'
pattern $((3 * s)) | seed bad-index-out-of-order \
$'FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 00 00:00:00\nINDEX 02 00:00:01\n'
pattern $((3 * s)) | seed bad-index-time-backwards \
$'FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:02\nTRACK 02 AUDIO\nINDEX 01 00:00:01\n'
pattern 100 | seed bad-index-beyond-file $'FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:01\n'
pattern 100 | seed bad-time-seconds $'FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:60:00\n'
pattern 100 | seed bad-no-index01 $'FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 00 00:00:00\n'
pattern 100 | seed bad-no-track $'REM only a comment\nFILE disc.bin BINARY\n'
pattern 100 | seed bad-file-type $'FILE disc.iso ISO\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-track-mode $'FILE disc.bin BINARY\nTRACK 01 MODE2/2336\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-second-pregap $'FILE disc.bin BINARY\nTRACK 01 AUDIO\nPREGAP 00:02:00\nPREGAP 00:02:00\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-postgap-before-index $'FILE disc.bin BINARY\nTRACK 01 AUDIO\nPOSTGAP 00:02:00\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-longer-than-100-minutes \
$'FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nPOSTGAP 99:59:74\nFILE disc.bin BINARY\nTRACK 02 AUDIO\nPREGAP 99:59:74\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-damage-past-lead-out $'REM DAMAGE UNREADABLE 0 2\nFILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-damage-kind $'REM DAMAGE SCRATCHED 0 1\nFILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-damage-count $'REM DAMAGE UNSTABLE 0 0\nFILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-wave-not-riff $'FILE song.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
wave 1 1 22050 16 64 | seed bad-wave-mono $'FILE song.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
wave 1 2 44100 16 64 | seed bad-data-track-in-wave $'FILE song.wav WAVE\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n'
flac_of $((3 * s)) | seed tracks02-flac-named-wave \
$'FILE "disc.flac" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 00 00:00:01\nINDEX 01 00:00:02\n'
flac_of $((2 * s + 400)) | seed tracks01-flac $'FILE disc.flac FLAC\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
flac_of $((3 * s)) 1200 | seed bad-flac-cut-short $'FILE disc.flac FLAC\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
flac_of $((2 * s)) | seed bad-data-track-in-flac $'FILE disc.flac WAVE\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n'
printf '' | seed bad-empty-file $'FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
pattern 100 | seed bad-file-without-track \
$'FILE a.bin BINARY\nFILE b.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n'
# Without the two NUL bytes the sheet names a file that does not exist.
printf 'FILE "missing.bin" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n' > "$cue/bad-missing-file"

# READ TOC answers: header, then 8-byte descriptors (control, track, start).
descriptor() { hex 00 "$1"; byte "$2"; hex 00; be32 "$3"; }
answer() { # name, data length, first, last, then "control track start" triples
    local name=$1 length=$2 first=$3 last=$4
    shift 4
    {
        byte $((length >> 8)); byte "$length"; byte "$first"; byte "$last"
        while [ $# -ge 3 ]; do descriptor "$1" "$2" "$3"; shift 3; done
    } > "$toc/$name"
}
answer rows01-one-audio 18 1 1 10 1 0 10 170 12000
answer rows03-audio-and-data 34 1 3 10 1 0 10 2 15000 14 3 30000 14 170 45000
all=()
for n in $(seq 1 99); do all+=(10 "$n" $(((n - 1) * 4500))); done
answer rows99-full 802 1 99 "${all[@]}" 10 170 445500
answer rows02-length-past-buffer 802 1 5 10 1 0 10 2 100 10 170 200
answer rows01-length-short-of-buffer 18 1 3 10 1 0 10 2 100 10 3 200 10 170 300
answer rows01-start-descending 34 1 3 10 1 0 10 2 5000 10 3 4000 10 170 6000
answer rows00-last-before-first 18 5 2 10 5 0 10 170 100
answer rows00-one-descriptor 10 1 1 10 1 0
answer rows00-negative-start 18 1 1 10 1 -150 10 170 100
answer rows02-first-track-not-one 26 3 4 10 3 0 10 4 100 10 170 200
printf '\x00\x02\x01' > "$toc/rows00-three-bytes"
printf '' > "$toc/rows00-empty"

# Network answers: `reply name letter` writes the letter, then standard input.
reply() { { printf '%s' "$2"; cat; } > "$answers/$1"; }

reply ok-discid-one-release d < "$data/metadata/discid-one-release.json"
reply ok-discid-disc-2-of-2 d < "$data/metadata/discid-disc-2-of-2.json"
reply ok-release-multidisc r < "$data/metadata/picard/release_multidisc.json"
printf '{"id":"MMUffXfLdd8ZTBfTkv12dsDgGs8-","releases":[]}' | reply none-discid-no-release d
printf '<html>503 Service Unavailable</html>' | reply bad-discid-not-json d
printf '{"title":"no ID","media":[{"tracks":[{"position":1}]}]}' | reply bad-release-without-id r

reply ok-gnudb-query-list q < "$data/metadata/gnudb-query.txt"
printf '200 rock 09000104 Band D / Found In GnuDB\r\n' | reply ok-gnudb-query-exact q
printf '202 No match found\r\n' | reply none-gnudb-query-no-match q
printf '200\r\n' | reply bad-gnudb-query-exact-match-missing q
printf '500 Command syntax error\r\n' | reply bad-gnudb-query-error q
printf '211 close matches\r\nro/ck 09000104 A / B\r\n.\r\n' | reply bad-gnudb-query-odd-category q
reply ok-gnudb-read g < "$data/metadata/gnudb-read.txt"
printf '210 misc 09000104\nDTITLE=Various Artists / Mix\nTTITLE0=Someone / One\nTTITLE1=Two\\tTabbed\nTTITLE7=beyond the disc\n.\n' |
    reply ok-gnudb-read-various g
printf '210 misc 09000104\n# nothing\n.\n' | reply none-gnudb-read-empty g
printf '401 misc 09000104 No such CD entry in database\n' | reply bad-gnudb-read-status g

# CTDB: the lookup answer, a NUL byte, then the parity download (npar rows of
# 2 × stride little-endian words, column 0 equal to the entry's syndrome).
ns='xmlns="http://db.cuetools.net/ns/mmd-1.0#"'
parity_entry() { # npar, stride, syndrome[, crc32]
    printf '<ctdb %s><entry confidence="5" crc32="%s" id="7" npar="%s" stride="%s" syndrome="%s" hasparity="/parity/7" toc="0:40:70:100:120" trackcrcs="1 2 3 4"/></ctdb>' \
        "$ns" "${4:-0badf00d}" "$1" "$2" "$3"
}
words() { local w; for w in "$@"; do le16 "$w"; done; }
reply ok-ctdb-lookup c < "$data/accuracy/ctdb-lookup-sample.xml"
{ parity_entry 2 2 AQAFAA==; printf '\0'; words 1 2 3 4 5 6 7 8; } | reply ok-ctdb-parity c
# The entry of the fuzz target's own rip (AnswerFeed.h: 15 samples of its
# pattern) with word 10 changed, as EncodeCtdbParity gives it: the rip is
# mended in one word.
{ parity_entry 4 2 2JOD/9/bh8I= 320f70cd; printf '\0'
  words 37848 2382 36766 34106 65411 15497 21137 2585 56287 38720 8072 38266 49799 40942 4526 17750
} | reply ok-ctdb-parity-mends-one-word c
{ parity_entry 17 1 AQA=; printf '\0'; words $(seq 1 34); } | reply ok-ctdb-parity-npar-above-16 c
{ parity_entry 2 2 AQAFAA==; printf '\0'; words 1 2 3 4 5 6; } | reply bad-ctdb-parity-cut-short c
{ parity_entry 2 2 AQAGAA==; printf '\0'; words 1 2 3 4 5 6 7 8; } | reply bad-ctdb-parity-damaged c
printf '<ctdb %s/>' "$ns" | reply none-ctdb-no-entry c
printf '<html><body>502</body></html>' | reply bad-ctdb-root c
printf '<ctdb %s><entry confidence="1" crc32="xyz" id="1"/></ctdb>' "$ns" | reply bad-ctdb-unreadable-crc c
printf '<ctdb %s><entry confidence="1" npar="2" stride="2" syndrome="A?"/></ctdb>' "$ns" |
    reply bad-ctdb-unreadable-syndrome c
printf '<ctdb><entry confidence=' | reply bad-ctdb-malformed c

# Covers: a PNG (IHDR, then IDAT), an indexed PNG (PLTE), a JPEG (JFIF,
# then a baseline frame header), and a GIF.
png_chunk() { be32 "$1"; printf '%s' "$2"; cat; hex de ad be ef; } # length, type, body on stdin
png() { # colour type, then more chunks
    hex 89 50 4e 47 0d 0a 1a 0a
    { be32 512; be32 500; hex 08 "$1" 00 00 00; } | png_chunk 13 IHDR
    if [ "$1" = 03 ]; then hex 00 00 00 ff ff ff | png_chunk 6 PLTE; fi
    printf 'xx' | png_chunk 2 IDAT
}
png 02 | reply ok-cover-png i
png 03 | reply ok-cover-png-indexed i
{ hex ff d8 ff e0 00 10; printf 'JFIF\0'; hex 01 01 00 00 01 00 01 00 00
  hex ff c0 00 11 08 01 f4 02 00 03 01 22 00 02 11 01 03 11 01 ff da 00 02 ff d9; } |
    reply ok-cover-jpeg i
printf 'GIF89a\x01\x00\x01\x00' | reply bad-cover-gif i
