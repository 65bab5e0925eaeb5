# shellcheck shell=bash
# What a program read from a disc, as sorted lines of facts that
# tests/kernel/disc.sh compares with the sheet's:
#   catalog N | disc KIND TEXT | session S tracks FF-LL | track NN audio|data
#   track NN index II MM:SS:FF (disc address) | track NN isrc X
#   track NN flags none|DCP 4CH PRE (audio tracks) | track NN KIND TEXT
#   last session starts MM:SS:FF
# KIND is a CD-Text kind in lower case (title, performer, songwriter, ...).
# Each function reads the program's output on standard input.

# msf_of SECTORS / sectors_of MM:SS:FF, in awk.
FACTS_AWK_TIME='
function sectors_of(t,   p) { split(t, p, ":"); return (p[1] * 60 + p[2]) * 75 + p[3] }
function msf_of(n) { return sprintf("%02d:%02d:%02d", int(n / 4500), int(n / 75) % 60, n % 75) }
function unquote(s) { sub(/^[^"]*"/, "", s); sub(/"[^"]*$/, "", s); return s }
'

# vindral-cli cue's sheet: one FILE holding the disc from address 0.
cue_facts() {
    awk "$FACTS_AWK_TIME"'
        $1 == "CATALOG" { print "catalog " $2 }
        $1 == "REM" && $2 == "SESSION" { session = $3 + 0 }
        $1 == "TRACK" {
            track = $2; type = $3 == "AUDIO" ? "audio" : "data"
            print "track " track " " type
            if (type == "audio") flags[track] = "none"
            s = session ? session : 1
            if (!(s in first)) first[s] = track
            last[s] = track
        }
        $1 == "ISRC" { print "track " track " isrc " $2 }
        $1 == "FLAGS" { $1 = ""; flags[track] = substr($0, 2) }
        $1 == "INDEX" { print "track " track " index " $2 " " $3 }
        $1 ~ /^(TITLE|PERFORMER|SONGWRITER|COMPOSER|ARRANGER|MESSAGE|GENRE|DISC_ID)$/ {
            print (track == "" ? "disc" : "track " track) " " tolower($1) " " unquote($0)
        }
        $1 == "INDEX" && $2 == "01" && !(session in opened) { opened[session] = $3 }
        END {
            for (t in flags) print "track " t " flags " flags[t]
            for (s in first) print "session " s " tracks " first[s] "-" last[s]
            if (session > 1) print "last session starts " opened[session]
        }' | LC_ALL=C sort
}

# cdrdao read-toc's toc file of one session. Its statements lay the
# session's sectors out one after the other from the session's first sector
# (address 0 for the first): SILENCE and ZERO (a pregap cdrdao keeps no audio
# of, such as track 1's), FILE and DATAFILE lengths. START is the pregap's
# length after the track's first sector, INDEX the start of index 2, 3, ...
# after index 1. Empty CD-Text strings (a kind another track has) are none.
cdrdao_facts() {
    awk "$FACTS_AWK_TIME"'
        function length_of(t) { return t ~ /:/ ? sectors_of(t) : int(t / 588) }
        function flush() {
            if (track == "") return
            print "track " track " index 01 " msf_of(index1)
            if (type == "audio") print "track " track " flags " (flags ? flags : "none")
        }
        $1 == "CATALOG" { print "catalog " unquote($0) }
        $1 == "TRACK" {
            flush()
            ++n; track = sprintf("%02d", n); index_n = 1; index1 = position
            type = $2 == "AUDIO" ? "audio" : "data"
            print "track " track " " type
            flags = ""; trackstart = position
        }
        $1 == "COPY" { flags = flags (flags ? " " : "") "DCP" }
        $1 == "FOUR_CHANNEL_AUDIO" { flags = flags (flags ? " " : "") "4CH" }
        $1 == "PRE_EMPHASIS" { flags = flags (flags ? " " : "") "PRE" }
        $1 == "ISRC" && !in_text { print "track " track " isrc " unquote($0) }
        ($1 == "SILENCE" || $1 == "ZERO") && track != "" { position += length_of($NF) }
        ($1 == "FILE" || $1 == "AUDIOFILE") && track != "" { position += length_of($NF) }
        $1 == "DATAFILE" && track != "" { position += NF > 2 ? length_of($NF) : 0 }
        $1 == "START" && track != "" {
            print "track " track " index 00 " msf_of(trackstart)
            index1 = trackstart + sectors_of($2)
        }
        $1 == "INDEX" && track != "" {
            ++index_n
            print "track " track " index " sprintf("%02d", index_n) " " msf_of(index1 + sectors_of($2))
        }
        $1 == "CD_TEXT" { in_text = 1 }
        in_text && /{/ { depth += gsub(/{/, "{") }
        in_text && /}/ { depth -= gsub(/}/, "}"); if (depth == 0) in_text = 0 }
        in_text && $1 ~ /^(TITLE|PERFORMER|SONGWRITER|COMPOSER|ARRANGER|MESSAGE|DISC_ID)$/ &&
            $2 ~ /^"/ && unquote($0) != "" {
            print (track == "" ? "disc" : "track " track) " " tolower($1) " " unquote($0)
        }
        END {
            flush()
            if (n) print "session 1 tracks 01-" sprintf("%02d", n)
        }' | LC_ALL=C sort
}

# cd-info's report of a device: the track list (index 1 as LSN, the copy,
# channel and pre-emphasis columns), the catalog number, the first language's
# CD-Text (its ISRC and UPC_EAN repeat the sub-channel's) and the sessions it
# tells: where the second one starts (from the track list) and the last
# session's start as the kernel reports it.
cdinfo_facts() {
    awk "$FACTS_AWK_TIME"'
        /^CD-ROM Track List/ { list = 1; next }
        list && $1 ~ /^[0-9]+:$/ {
            number = substr($1, 1, length($1) - 1) + 0
            if (number > 99) { list = 0; next }
            track = sprintf("%02d", number); tracks[++n] = track
            print "track " track " " ($4 == "audio" ? "audio" : "data")
            print "track " track " index 01 " msf_of($3 + 0)
            if ($4 == "audio") {
                f = ($6 == "yes" ? "DCP" : "")
                if ($7 == 4) f = f (f ? " " : "") "4CH"
                if ($8 == "yes") f = f (f ? " " : "") "PRE"
                print "track " track " flags " (f ? f : "none")
            }
        }
        /^Media Catalog Number/ { sub(/^[^:]*: */, ""); if ($0 != "") print "catalog " $0 }
        /^Last CD Session LSN:/ { if ($NF + 0 > 0) print "last session starts " msf_of($NF + 0) }
        /^Language / { ++language }
        /^CD-TEXT for Disc:/ { owner = "disc" }
        /^CD-TEXT for Track/ { owner = sprintf("track %02d", $NF + 0) }
        language == 1 && owner != "" && /^\t[A-Z_]+: / {
            key = $1; sub(/:$/, "", key); value = $0; sub(/^\t[A-Z_]+: /, "", value)
            if (key == "DISCID") key = "DISC_ID"
            if (key != "ISRC" && key != "UPC_EAN" && value != "") print owner " " tolower(key) " " value
        }
        /^session #[0-9]+ starts at track/ { second = sprintf("%02d", $6 + 0) }
        END {
            if (!n) exit
            if (second != "") {
                print "session 1 tracks " tracks[1] "-" sprintf("%02d", second - 1)
                print "session 2 tracks " second "-" tracks[n]
            } else {
                print "session 1 tracks " tracks[1] "-" tracks[n]
            }
        }' | LC_ALL=C sort
}
