#!/usr/bin/env python3
"""smtp_sink.py DIR - a local SMTP relay for the end-to-end tests.

Listens on 127.0.0.1 on a free port and writes the port to DIR/port once it
listens. Each message it takes is written whole (as received) to
DIR/msg-N.eml, with its envelope recipients in DIR/msg-N.rcpt, each made
under a temporary name and renamed, so a reader never sees half of one.

How it answers is read at each recipient from files in DIR:
  DIR/busy    while it exists, every recipient gets 451 4.3.0 (try again later)
  DIR/reject  each line an address that gets 550 5.1.1 (no such mailbox)
"""
import asyncio
import itertools
import os
import sys

from aiosmtpd.smtp import SMTP

DIR = sys.argv[1]
COUNTER = itertools.count(1)


def rejected():
    try:
        with open(os.path.join(DIR, "reject")) as f:
            return {line.strip() for line in f if line.strip()}
    except FileNotFoundError:
        return set()


def write_atomically(name, data):
    path = os.path.join(DIR, name)
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.rename(path + ".tmp", path)


class Handler:
    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if os.path.exists(os.path.join(DIR, "busy")):
            return "451 4.3.0 Mailbox busy, try again later"
        if address in rejected():
            return "550 5.1.1 No such mailbox here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        n = next(COUNTER)
        write_atomically("msg-%d.rcpt" % n, "\n".join(envelope.rcpt_tos).encode() + b"\n")
        write_atomically("msg-%d.from" % n, envelope.mail_from.encode() + b"\n")
        write_atomically("msg-%d.eml" % n, envelope.original_content)
        return "250 2.0.0 Queued as sink-%d" % n


async def main():
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: SMTP(Handler(), hostname="sink.test"),
                                      "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    write_atomically("port", b"%d\n" % port)
    await server.serve_forever()


asyncio.run(main())
