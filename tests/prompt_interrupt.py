#!/usr/bin/env python3
"""Ctrl-C at zel's prompt, on a pseudo-terminal: it abandons the entry being
typed, stops a running entry with "interrupted", and zel carries on.

usage: prompt_interrupt.py ZEL
"""
import os
import pty
import select
import sys

TIMEOUT = 60  # seconds without the awaited text: the test fails


def main():
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(sys.argv[1], [sys.argv[1]])
    seen = b""

    def expect(text):
        nonlocal seen
        while text not in seen:
            ready, _, _ = select.select([fd], [], [], TIMEOUT)
            if not ready:
                sys.exit("no %r in %r" % (text, seen))
            seen += os.read(fd, 4096)
        seen = seen[seen.index(text) + len(text) :]

    expect(b"zel> ")
    os.write(fd, b"x = (1 +\r")
    expect(b"...> ")
    os.write(fd, b"\x03")
    expect(b"zel> ")
    os.write(fd, b"print 41 + 1;\r")
    expect(b"42")
    expect(b"zel> ")
    os.write(fd, b"print \"looping\"; while 1 do end\r")
    expect(b"looping\r\n")
    os.write(fd, b"\x03")
    expect(b"<prompt>:1: interrupted")
    expect(b"zel> ")
    os.write(fd, b"print \"alive\";\r")
    expect(b"alive")
    expect(b"zel> ")
    os.write(fd, b"\x04")
    _, status = os.waitpid(pid, 0)
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        sys.exit("zel ended with status %r" % status)


if __name__ == "__main__":
    main()
