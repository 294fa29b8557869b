#!/usr/bin/env python3
"""Prints what Python's email package reads from each test message: the independent answers the
expectations in DecodedMessageTest.cpp were checked against (run by hand when the corpus changes)."""
import email, email.policy, email.utils, sys, pathlib

for path in sorted(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else '.').glob('*.eml')):
    msg = email.message_from_bytes(path.read_bytes(), policy=email.policy.default)
    print('==', path.name)
    for h in ('From', 'To', 'Subject'):
        print(f'{h}: {str(msg[h])!r}')
    try:
        d = email.utils.parsedate_to_datetime(msg['Date'])
        print('Date:', d.astimezone(__import__('datetime').timezone.utc).isoformat())
    except Exception as e:
        print('Date: unparsable', repr(str(msg['Date'])))
    body = msg.get_body(preferencelist=('plain', 'html'))
    if body is not None:
        try:
            print('Body', body.get_content_type(), repr(body.get_content()))
        except Exception as e:
            print('Body error', e)
    for a in msg.iter_attachments() if msg.is_multipart() else []:
        print('Att', repr(a.get_filename()), a.get_content_type(), len(a.get_payload(decode=True) or b''))

# The table of single header fields: each row's expected reading checked against Python's.
import datetime
table = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else '.') / 'header_fields.tsv'
for line in table.read_text(encoding='utf-8').splitlines():
    if not line or line.startswith('#'):
        continue
    field, stored, expected = line.split('\t')
    msg = email.message_from_bytes(f'{field}: {stored}\n\n'.encode(), policy=email.policy.default)
    if field == 'Date':
        try:
            d = email.utils.parsedate_to_datetime(stored)
            if d.tzinfo is None:
                d = d.replace(tzinfo=datetime.timezone.utc)
            answer = d.astimezone(datetime.timezone.utc).strftime('%Y-%m-%dT%H:%M:%SZ')
        except Exception:
            answer = '-'
    else:
        answer = str(msg[field])
    print('ok     ' if answer == expected else 'DIFFERS', field, repr(stored), '->', repr(answer))
