#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/. Run again after changing a target's input layout."""
import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
COOKIE = 0x0123456789ABCDEF
NTP_UNIX = 2_208_988_800


def ntp(unix_seconds, fraction=0):
    return ((unix_seconds + NTP_UNIX) % 2**32) << 32 | fraction


def ntp_nanos(unix_seconds, nanos):
    """As the program converts: the fraction rounded up from the nanoseconds."""
    return ntp(unix_seconds, ((nanos << 32) + 10**9 - 1) // 10**9)


def packet(first, stratum=2, poll=6, precision=-20, ref_id=0x7F000001, ref=0, origin=0, rx=0, tx=0,
           delay=0x800, dispersion=0x400):
    return struct.pack(">BBBbIII4Q", first, stratum, poll, precision, delay, dispersion, ref_id, ref, origin, rx, tx)


def octet(leap, version, mode):
    return leap << 6 | version << 3 | mode


def write(target, seeds):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


NOW = 1_796_727_600
GOOD = packet(octet(0, 4, 4), ref=ntp(NOW - 64), origin=COOKIE, rx=ntp(NOW, 1 << 31), tx=ntp(NOW, 1 << 31 | 4096))

# Command line: the first octet picks logging (bit 0) and how the rest is read (bits 1-3:
# 0-4 as it is, padded by the top bits' count of blanks, tabs with bit 4; 5-6 as two numbers
# and a server; 7 as the plugin's arguments between NULs, its server's clock off by the top
# bits less 8 seconds, or with the top bits all set one of eight fixed tails (the next
# octet's low bits) padded to the length limit or up to 15 past it (its top bits)).
write("fuzz_command_line", {
    "plain": b"\x00" + b"5 3 pool.ntp.org:123",
    "plain_logged": b"\x01" + b"5 3 pool.ntp.org:123",
    "quoted": b"\x00" + b'"5" "3" "time.example:123"',
    "tabs_logged": b"\x01" + b"5\t3\t127.0.0.1:123",
    "fourteen_words": b"\x00" + b"1 2 h:123 a b c d e f g h i j k l",
    "quoted_blanks": b"\x01" + b'5 3 "host name:123" "last  slot"',
    "not_a_number_logged": b"\x01" + b"abc 3 h:1",
    "beyond_int16": b"\x00" + b"40000 -32768 h:123",
    "port_beyond_int32": b"\x01" + b"5 3 h:99999999999",
    "no_port": b"\x00" + b" 5  3   ntp.example",
    "empty": b"\x00",
    "signs_and_blanks": b"\x01" + b'"+7 " " -2" ::123',
    "bracketed_v6": b"\x01" + b"5 3 [2001:db8::1]:123",
    # An empty host between brackets, once read by the model as the text before the colon.
    "bracketed_empty_host": b"\x00" + bytes.fromhex("33 20 09 5b 5d 3a 33 20 09 5b"),
    "numbers": b"\x0a" + struct.pack(">hh", 5, -3) + b"host:123",
    "numbers_quoted_tabs": b"\x3d" + struct.pack(">hh", -32768, 32767) + b"host",
    "longest_logged": b"\xff\x00",
    "longest_open_quote": b"\xfe\x01",
    "padded_over_limit": b"\xfe\x53",
    "plugin_ok": b"\x8e" + b"\0".join([b"-H", b"ntp.example", b"-t", b"2"]),
    "plugin_warning": b"\xae" + b"\0".join([b"-Hntp.example", b"-w", b"1", b"-c", b"5", b"-t", b"1", b"-v"]),
    "plugin_critical_range": b"\x2e" + b"\0".join([b"-4vH", b"10.0.0.1", b"-w", b"@1:3", b"-c", b"~:4.5", b"-t0.5"]),
    "plugin_long_options": b"\x9e" + b"\0".join([b"--hostname=[::1]", b"--warning=0.25", b"--critical", b"10:",
                                                   b"--timeout=0.5", b"--use-ipv6"]),
    "plugin_usage_error": b"\x8e" + b"\0".join([b"-H", b"h", b"-p", b"0", b"-x"]),
    "plugin_help": b"\x8e" + b"--help",
})

# NTP reply: the datagram itself; octets 48-55, when present, are the cookie we sent, and
# octets 56-71 our send and receive timestamps for one more exchange.
HALF_ERA = 1 << 63
# The target's first fixed local clock: T1 at 11:00:00.25 and T4 40 ms later.
T1 = ntp_nanos(NOW, 250_000_000)
T4 = ntp_nanos(NOW, 290_000_000)


def exchange(datagram, cookie, sent, received):
    return datagram + struct.pack(">3Q", cookie, sent % 2**64, received % 2**64)


write("fuzz_ntp_reply", {
    "server_reply": GOOD,
    "server_reply_own_cookie": packet(octet(0, 4, 4), origin=0x1122334455667788, rx=ntp(NOW), tx=ntp(NOW))
    + struct.pack(">Q", 0x1122334455667788),
    "kiss_of_death_rate": packet(octet(3, 4, 4), stratum=0, ref_id=0x52415445, origin=COOKIE),
    "kiss_of_death_short_code": packet(octet(3, 4, 4), stratum=0, ref_id=0x52410000, origin=COOKIE),
    "stratum0_without_code": packet(octet(0, 4, 4), stratum=0, ref_id=0, origin=COOKIE, rx=ntp(NOW), tx=ntp(NOW)),
    "short": GOOD[:20],
    "client_request": packet(octet(0, 4, 3), stratum=0, poll=0, precision=0, ref_id=0, tx=COOKIE),
    "version3_unsynchronised": packet(octet(0, 3, 4), stratum=16, origin=COOKIE, rx=ntp(NOW), tx=ntp(NOW)),
    "leap_alarm": packet(octet(3, 4, 4), origin=COOKIE, rx=ntp(NOW), tx=ntp(NOW)),
    "zero_transmit": packet(octet(0, 4, 4), origin=COOKIE, rx=ntp(NOW)),
    "era_rollover": packet(octet(0, 4, 4), origin=COOKIE, rx=ntp(2_085_978_495, 0xFFFF0000), tx=ntp(2_085_978_496, 5)),
    "with_extension": GOOD + bytes(20),
    # A leg of exactly 2^63 is its own negation: swapped clocks read the same way.
    "half_era_receive": packet(octet(0, 4, 4), origin=COOKIE, rx=(T1 + HALF_ERA) % 2**64, tx=ntp(NOW, 1 << 30)),
    "half_era_both_legs": packet(octet(0, 4, 4), origin=COOKIE, rx=(T1 + HALF_ERA) % 2**64,
                                 tx=(T4 + HALF_ERA) % 2**64),
    "transmit_before_receive": packet(octet(0, 4, 4), origin=COOKIE, rx=ntp(NOW + 5), tx=ntp(NOW)),
    # Received 2^31 - 1 s before its transmit, from a server 10 s behind our receipt.
    "held_longer_than_the_exchange": packet(octet(0, 4, 4), origin=COOKIE, rx=ntp(NOW - 10 - 2**31 + 1),
                                            tx=ntp(NOW - 10)),
    "root_distance_16_4_s": packet(octet(0, 4, 4), origin=COOKIE, rx=ntp(NOW), tx=ntp(NOW),
                                   delay=0x0010_0000, dispersion=0x0008_6667),
    "kiss_init": packet(octet(3, 4, 4), stratum=0, ref_id=0x494E4954, origin=COOKIE),
    "kiss_deny": packet(octet(3, 4, 4), stratum=0, ref_id=0x44454E59, origin=COOKIE),
    "exchange_round_trip_20_s": exchange(GOOD, COOKIE, ntp(NOW - 10), ntp(NOW + 10)),
    "exchange_round_trip_half_era": exchange(GOOD, COOKIE, ntp(NOW), ntp(NOW) + HALF_ERA - 1),
})

# SNTP client: a flags octet (timeout, lookup delay, addresses, failures) then operations.
# The synthetic reply's reference id, by its index in the target's table.
RATE, DENY, RSTR, INIT, STEP = range(5)


def synth(ms, stratum=2, leap=0, ref=RATE):
    return bytes([3 | leap << 3 | ref << 5]) + struct.pack(">iB", ms, stratum)


def raw(op, data):
    return bytes([op, len(data)]) + data


DELIVER = b"\x06"
RETRY = b"\x0e"    # the query waited for to its end, then begun again
GIVE_UP = b"\x16"  # begun again at once, the query in progress abandoned


def step_wall(tenths):
    return b"\x1e" + struct.pack(">b", tenths)

# The fuzz platform's first cookie is COOKIE, so GOOD answers the first request.
STRANGE = GOOD[:24] + struct.pack(">Q", COOKIE ^ 1) + GOOD[32:]
write("fuzz_sntp_client", {
    "good_reply": b"\x01" + synth(1500) + DELIVER,
    "good_reply_behind": b"\x02" + b"\x05\x02" + synth(-4000) + DELIVER,
    "kiss_of_death": b"\x01" + synth(0, stratum=0, leap=3) + DELIVER,
    "leap_alarm": b"\x00" + synth(10, leap=3) + DELIVER,
    "stratum16": b"\x00" + synth(10, stratum=16) + DELIVER,
    "raw_with_cookie": b"\x01" + raw(2, GOOD) + DELIVER,
    "raw_without_cookie": b"\x01" + raw(0, STRANGE) + DELIVER + b"\x05\xff",
    "stranger_then_server": b"\x01" + raw(4, GOOD) + synth(250) + DELIVER,
    "oversized": b"\x01" + raw(7, GOOD) + DELIVER,
    "short_datagram": b"\x01" + raw(0, GOOD[:30]) + DELIVER + b"\x05\x64",
    "zero_transmit": b"\x01" + raw(2, GOOD[:30]) + DELIVER,
    "slow_lookup": b"\x0d" + b"\x05\x1e" + synth(-20) + DELIVER + b"\x05\x5a" + synth(30) + DELIVER,
    "lookup_fails": b"\x41" + DELIVER,
    "refused_then_v4": b"\x91" + DELIVER + synth(100) + DELIVER,
    "open_fails_then_v4": b"\x31" + synth(100) + DELIVER,
    "refused_only": b"\x81" + DELIVER,
    "silence": b"\x00" + b"\x05\xff" * 2,
    "kiss_then_retries": b"\x00" + synth(0, stratum=0, ref=DENY) + DELIVER + RETRY + RETRY + RETRY,
    "kiss_on_one_of_two": b"\x10" + synth(0, stratum=0, ref=RSTR) + DELIVER + RETRY + synth(5) + DELIVER
    + RETRY + RETRY,
    "init_kiss_then_good": b"\x00" + synth(0, stratum=0, ref=INIT) + DELIVER + RETRY + synth(-700) + DELIVER,
    "two_addresses_in_turn": b"\x10" + RETRY + RETRY + RETRY + synth(20) + DELIVER,
    "lookup_slower_than_two_tries": b"\x0c" + RETRY + RETRY + synth(10) + DELIVER,
    "lookup_fails_every_try": b"\x40" + RETRY + RETRY,
    "given_up_and_begun_again": b"\x11" + b"\x05\x0a" + GIVE_UP + b"\x05\x0a" + GIVE_UP + synth(3) + DELIVER,
    "wall_stepped_mid_exchange": b"\x01" + step_wall(-25) + synth(900) + DELIVER,
    "root_distance_over_limit": b"\x01" + raw(2, packet(octet(0, 4, 4), rx=ntp(NOW), tx=ntp(NOW),
                                                       dispersion=0x0011_0000)) + DELIVER,
    "transmit_before_receive": b"\x01" + raw(2, packet(octet(0, 4, 4), rx=ntp(NOW + 3), tx=ntp(NOW))) + DELIVER,
    "held_longer_than_the_exchange": b"\x01" + raw(2, packet(octet(0, 4, 4), rx=ntp(NOW - 5), tx=ntp(NOW))) + DELIVER,
})
