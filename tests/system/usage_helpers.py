"""What the usage tests share: the layout of veld's shared-memory log file, the outer headers a
tunnelled frame adds to an address's counts, and ping's summary line."""

import re

VSM_PATH = "/var/velkarn-server/veld/_.vsm"
HEAD_MAGIC = 0xF979DA36
CHUNK_MAGIC = 0x43907B6E
END_MARKER = 0xFF454545
WRAP_MARKER = 0xFF575757
HEAD_SIZE = 108
CHUNK_HDR = 92

# Added per frame to a remote address: IPv4 + UDP, IPv4 + TCP, IPv4 + ICMP.
ADDR_OVERHEAD = {"udp": 28, "tcp": 44, "icmp": 28}


def ping_counts(r):
    """(transmitted, received) from a finished ping."""
    m = re.search(r"(\d+) packets transmitted, (\d+) received", r.stdout)
    assert m, r.stdout + r.stderr
    return int(m.group(1)), int(m.group(2))
