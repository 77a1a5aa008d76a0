"""What the usage tests share: the layout of veld's shared-memory log file, the outer headers a
tunnelled frame adds to an address's counts, the node's country and velumond's country table,
and ping's summary line."""

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

CSV_PATH = "/var/velkarn-server/velumond/GeoIPCountryWhois.csv"
# A country table with one range of the node's country.
KR_TABLE = '"1.0.0.0","1.0.0.255","16777216","16777471","KR","Korea, Republic of"\n'


def node_country(sb, table=KR_TABLE, country="KR"):
    """Writes the node's country file and velumond's country table."""
    sb.write_file("/etc/velkarn-server/country", country)
    sb.write_file(CSV_PATH, table)


def ping_counts(r):
    """(transmitted, received) from a finished ping."""
    m = re.search(r"(\d+) packets transmitted, (\d+) received", r.stdout)
    assert m, r.stdout + r.stderr
    return int(m.group(1)), int(m.group(2))
