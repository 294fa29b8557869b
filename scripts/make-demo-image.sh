#!/usr/bin/env bash
# Builds the demo disk image: a small FAT file system holding a dozen e-mail messages among
# ordinary files, most of the messages then deleted, so a scan has something to bring back.
# Needs mkfs.fat (dosfstools) and mtools; no root and no mount.
#
#   scripts/make-demo-image.sh IMAGE [MESSAGE_DIR]
#
# MESSAGE_DIR, when given, receives the message files exactly as they were stored on the image
# (deleted ones included), so a scan's results can be compared with them byte for byte.
set -euo pipefail
export LC_ALL=C
export PATH="$PATH:/usr/sbin:/sbin"
export MTOOLS_SKIP_CHECK=1

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 IMAGE [MESSAGE_DIR]" >&2
  exit 2
fi
IMAGE=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
MSG=${2:-$work/messages}
mkdir -p "$MSG"
FILES=$work/files
mkdir -p "$FILES"

# Stored messages end every line with CR LF.
crlf() { sed 's/$/\r/'; }

crlf >"$MSG/01-welcome.eml" <<'EOF'
Return-Path: <ada@lovelace.example>
From: Ada Lovelace <ada@lovelace.example>
To: Charles Babbage <charles@engine.example>
Subject: Notes on the Analytical Engine
Date: Mon, 7 Dec 2026 09:12:44 +0000
Message-ID: <notes-1@lovelace.example>

Dear Charles,

I have finished the notes on the engine; note G holds the table for the
Bernoulli numbers. Shall we meet on Thursday to go through them?

Ada
EOF

crlf >"$MSG/02-reply.eml" <<'EOF'
From: Charles Babbage <charles@engine.example>
To: Ada Lovelace <ada@lovelace.example>
Subject: Re: Notes on the Analytical Engine
Date: Mon, 7 Dec 2026 11:30:02 +0000
Message-ID: <re-notes-1@engine.example>

Thursday suits me. Bring the table; I will bring the new drawings.

Charles

----- Original Message -----
From: Ada Lovelace <ada@lovelace.example>
To: Charles Babbage <charles@engine.example>
Subject: Notes on the Analytical Engine

I have finished the notes on the engine. Shall we meet on Thursday?
EOF

# Two messages stored back to back in one file, as a mailbox keeps them.
{
  crlf <<'EOF'
Return-Path: <orders@bakery.example>
From: The Corner Bakery <orders@bakery.example>
To: Grace Hopper <grace@navy.example>
Subject: Your order #1843 is ready
Date: Tue, 8 Dec 2026 07:45:00 +0000

Good morning,

your order (two sourdough loaves, one rye) is ready for collection.
EOF
  crlf <<'EOF'
Return-Path: <orders@bakery.example>
From: The Corner Bakery <orders@bakery.example>
To: Grace Hopper <grace@navy.example>
Subject: Thank you for collecting order #1843
Date: Tue, 8 Dec 2026 17:02:10 +0000

We hope you enjoy the bread. See you next week!
EOF
} >"$MSG/03-mailbox-pair.eml"

# A message with an attachment in base64.
attachment=$(printf 'Parcelwright demo attachment\nline two of the attached notes\n' | base64 -w 60)
{
  crlf <<'EOF'
From: Grace Hopper <grace@navy.example>
To: Alan Turing <alan@bletchley.example>
Subject: Minutes attached
Date: Wed, 9 Dec 2026 14:00:00 +0000
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="demo-boundary"

--demo-boundary
Content-Type: text/plain; charset=us-ascii

The minutes of Monday's meeting are attached.

--demo-boundary
Content-Type: text/plain; name="minutes.txt"
Content-Transfer-Encoding: base64
Content-Disposition: attachment; filename="minutes.txt"

EOF
  printf '%s\n' "$attachment" | crlf
  crlf <<'EOF'

--demo-boundary--
EOF
} >"$MSG/04-attachment.eml"

# An 8-bit byte in the body (a Latin-1 e-acute): the text run ends there, so the message comes
# back up to the line before it.
{
  crlf <<'EOF'
From: Alan Turing <alan@bletchley.example>
To: Grace Hopper <grace@navy.example>
Subject: Lunch on Friday
Date: Thu, 10 Dec 2026 10:10:10 +0000

Shall we have lunch on Friday?
EOF
  printf 'There is a new caf\xe9 by the station.\r\n'
  printf 'It opens at noon.\r\n'
} >"$MSG/05-eight-bit.eml"

i=6
for topic in "Garden club: planting schedule" "Invoice 2026-117" "Train times for Saturday" \
  "Re: Garden club: planting schedule" "Book club: next title" "Meeting room moved"; do
  n=$(printf '%02d' "$i")
  {
    printf 'From: Club Secretary <secretary%s@club.example>\r\n' "$n"
    printf 'To: Members <members@club.example>\r\n'
    printf 'Subject: %s\r\n' "$topic"
    printf 'Date: Fri, %d Dec 2026 08:%02d:00 +0000\r\n' "$((i + 5))" "$i"
    printf 'Message-ID: <club-%s@club.example>\r\n' "$n"
    printf '\r\n'
    printf 'Hello all,\r\n\r\n'
    for line in $(seq 1 $((i * 3))); do
      printf 'Line %d of message %s: %s.\r\n' "$line" "$n" "$topic"
    done
    printf '\r\nRegards,\r\nthe Secretary\r\n'
  } >"$MSG/$n-club.eml"
  i=$((i + 1))
done

# Ordinary files beside the mail: text with LF ends, text with CR LF ends but no headers, bytes.
seq 1 400 | sed 's/^/shopping list line /' >"$FILES/list.txt"
seq 1 300 | sed 's/^/report paragraph /; s/$/\r/' >"$FILES/report.txt"
head -c 30000 /dev/urandom >"$FILES/photo.jpg"
head -c 9000 /dev/urandom >"$FILES/archive.zip"

# A file whose size is a whole number of sectors would run on into whatever follows it on the
# drive; keep every message file off that boundary.
for f in "$MSG"/*.eml; do
  if [ $(($(stat -c %s "$f") % 512)) -eq 0 ]; then
    echo "$0: $f is a multiple of 512 bytes; change its text" >&2
    exit 1
  fi
done

rm -f "$IMAGE"
mkfs.fat -C -n PWDEMO -i 20261207 -S 512 "$IMAGE" 4096 >/dev/null
mmd -i "$IMAGE" ::/Mail ::/Documents
mcopy -i "$IMAGE" "$FILES/list.txt" "$FILES/report.txt" ::/Documents/
mcopy -i "$IMAGE" "$FILES/photo.jpg" ::/
for f in "$MSG"/*.eml; do
  mcopy -i "$IMAGE" "$f" ::/Mail/
done
mcopy -i "$IMAGE" "$FILES/archive.zip" ::/Documents/

# Most of the mail is deleted: its directory entries are marked free, its bytes stay.
for f in "$MSG"/*.eml; do
  case "$(basename "$f")" in
    01-* | 07-* | 11-*) ;;
    *) mdel -i "$IMAGE" "::/Mail/$(basename "$f")" ;;
  esac
done
