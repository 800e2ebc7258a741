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

# Each target's input layout is told above its LLVMFuzzerTestOneInput.
write("fuzz_command_line", {
    "plain": b"\x00" + b"5 3 pool.ntp.org:123",
    "plain_logged": b"\x01" + b"5 3 pool.ntp.org:123",
    "quoted": b"\x00" + b'"5" "3" "time.example:123"',
    "tabs_logged": b"\x01" + b"5\t3\t127.0.0.1:123",
    "fourteen_words": b"\x00" + b"1 2 h:123 a b c d e f g h i j k l",
    "quoted_blanks": b"\x01" + b'5 3 "host name:123" "last  slot"',
    "not_a_number_logged": b"\x01" + b"abc 3 h:1",
    "beyond_int16": b"\x00" + b"40000 -32768 h:123",
    "int16_limits": b"\x00" + b"-32768 32767 host",
    "port_beyond_int32": b"\x01" + b"5 3 h:99999999999",
    "no_port": b"\x00" + b" 5  3   ntp.example",
    "empty": b"\x00",
    "signs_and_blanks": b"\x01" + b'"+7 " " -2" ::123',
    "bracketed_v6": b"\x01" + b"5 3 [2001:db8::1]:123",
    # An empty host between brackets, once read by the model as the text before the colon.
    "bracketed_empty_host": b"\x00" + bytes.fromhex("33 20 09 5b 5d 3a 33 20 09 5b"),
    # A bracket closed before "]:" is an ordinary character.
    "bracket_closed_early": b"\x01" + b"5 3 [a]b]:123",
    # A quote left open takes the padding: then no number.
    "open_quote_padded": b"\x30" + b'"',
    "log_fails_at_the_command_line": b"\x07" + b"5 3 h:123",
    "log_fails_at_the_argument_error": b"\x19" + b"5 3 h:x",
    "longest_logged": b"\xff\x00",
    "longest_open_quote": b"\xfe\x01",
    "longest_log_fails": b"\xff\x0c",
    "padded_over_limit": b"\xfe\x53",
    "padded_over_limit_log_fails": b"\xff\xf8",
    "plugin_ok": b"\x8e" + b"\0".join([b"-H", b"ntp.example", b"-t", b"2"]),
    "plugin_warning": b"\xae" + b"\0".join([b"-Hntp.example", b"-w", b"1", b"-c", b"5", b"-t", b"1", b"-v"]),
    "plugin_critical_range": b"\x2e" + b"\0".join([b"-4vH", b"10.0.0.1", b"-w", b"@1:3", b"-c", b"~:4.5", b"-t0.5"]),
    "plugin_long_options": b"\x9e" + b"\0".join([b"--hostname=[::1]", b"--warning=0.25", b"--critical", b"10:",
                                                   b"--timeout=0.5", b"--use-ipv6"]),
    "plugin_long_timeout": b"\x4e" + b"\0".join([b"-H", b"h", b"-t", b"86400", b"-w", b"+.5", b"-c", b"3."]),
    "plugin_usage_error": b"\x8e" + b"\0".join([b"-H", b"h", b"-p", b"0", b"-x"]),
    "plugin_help": b"\x8e" + b"--help",
    "plugin_several_health": b"\x6e" + b"\0".join([b"-H", b"a", b"-H", b"b:124", b"-H", b"[::1]", b"-W", b"1:8", b"-C3",
                                                    b"--root-distance=0.01,1", b"--reference-age=,30", b"-m", b"3:",
                                                    b"-n", b"@0", b"-o", b"-1.5", b"-q"]),
    "plugin_every_address_metrics": b"\x7e" + b"\0".join([b"-H", b"pool", b"--all-addresses", b"--output-format",
                                                           b"openmetrics", b"-v", b"--twarn=2"]),
    "plugin_multi_line": b"\x8e" + b"\0".join([b"-Ha", b"-Hb", b"--out=multi-line", b"--stratum-c=@2"]),
})

HALF_ERA = 1 << 63
# The target's first fixed local clock: T1 at 11:00:00.25 and T4 40 ms later.
T1 = ntp_nanos(NOW, 250_000_000)
T4 = ntp_nanos(NOW, 290_000_000)


def exchange(datagram, cookie, sent, received):
    return datagram + struct.pack(">3Q", cookie, sent % 2**64, received % 2**64)


def reply(leap=0, version=4, **fields):
    """A server's answer to our first request."""
    return packet(octet(leap, version, 4), **{"origin": COOKIE, **fields})


write("fuzz_ntp_reply", {
    "server_reply": GOOD,
    "server_reply_own_cookie": reply(origin=0x1122334455667788, rx=ntp(NOW), tx=ntp(NOW))
    + struct.pack(">Q", 0x1122334455667788),
    "kiss_of_death_rate": reply(3, stratum=0, ref_id=0x52415445),
    "kiss_of_death_short_code": reply(3, stratum=0, ref_id=0x52410000),
    "stratum0_without_code": reply(stratum=0, ref_id=0, rx=ntp(NOW), tx=ntp(NOW)),
    "short": GOOD[:20],
    "client_request": packet(octet(0, 4, 3), stratum=0, poll=0, precision=0, ref_id=0, tx=COOKIE),
    "version3_unsynchronised": reply(version=3, stratum=16, rx=ntp(NOW), tx=ntp(NOW)),
    "leap_alarm": reply(3, rx=ntp(NOW), tx=ntp(NOW)),
    "zero_transmit": reply(rx=ntp(NOW)),
    "era_rollover": reply(rx=ntp(2_085_978_495, 0xFFFF0000), tx=ntp(2_085_978_496, 5)),
    "with_extension": GOOD + bytes(20),
    # Received exactly half an era after our send, with a transmit time that contradicts it.
    "half_era_receive": reply(rx=(T1 + HALF_ERA) % 2**64, tx=ntp(NOW, 1 << 30)),
    "half_era_both_legs": reply(rx=(T1 + HALF_ERA) % 2**64, tx=(T4 + HALF_ERA) % 2**64),
    # Usable, received exactly half an era after T1 and held 1 ms less than our exchange: a
    # true offset just under half an era ahead.
    "half_era_accepted_held_less": reply(rx=(T1 + HALF_ERA) % 2**64, tx=(T1 + HALF_ERA + int(0.039 * 2**32)) % 2**64),
    "transmit_before_receive": reply(rx=ntp(NOW + 5), tx=ntp(NOW)),
    # Received 2^31 - 1 s before its transmit, from a server 10 s behind our receipt.
    "held_longer_than_the_exchange": reply(rx=ntp(NOW - 10 - 2**31 + 1), tx=ntp(NOW - 10)),
    "root_distance_16_4_s": reply(rx=ntp(NOW), tx=ntp(NOW), delay=0x0010_0000, dispersion=0x0008_6667),
    "kiss_init": reply(3, stratum=0, ref_id=0x494E4954),
    "exchange_round_trip_20_s": exchange(GOOD, COOKIE, ntp(NOW - 10), ntp(NOW + 10)),
    "exchange_round_trip_half_era": exchange(GOOD, COOKIE, ntp(NOW), ntp(NOW) + HALF_ERA - 1),
})

# The exchange's operations are read in Scenario::Step.
RATE, DENY, RSTR, INIT = range(4)
TWO, THREE, RESENDS = 0x10, 0x20, 0x80


def op(kind, slot=0, top=0):
    return bytes([kind | slot << 3 | top << 5])


def server(ms, stratum=2, leap=0, ref=RATE, delay_50ms=0):
    return struct.pack(">iBB", ms, stratum, leap | ref << 2 | delay_50ms << 5)


def datagram(data, cookie=False, stranger=False, oversized=False, slot=0):
    return op(0, slot, cookie | stranger << 1 | oversized << 2) + bytes([len(data)]) + data


def answer(ms, slot=0, **kw):
    return op(1, slot) + server(ms, **kw)


def wait(tens_of_ms):
    return op(2) + bytes([tens_of_ms])


def begin(slot=0, given=False):
    return op(3, slot, given)


def at_once(mask):
    return op(6, 0, 1) + bytes([mask])


def policy(slot, ms, **kw):
    return op(7, slot, 2) + server(ms, **kw)


ABANDON, STEP, TO_END = op(6), op(7, 0, 0), op(7, 0, 1)


def seed(flags, *ops, opens=0, refusals=0):
    return bytes([flags, opens, refusals]) + b"".join(ops)


# The fake network's first cookie is COOKIE, so GOOD answers the first request.
STRANGE = GOOD[:24] + struct.pack(">Q", COOKIE ^ 1) + GOOD[32:]
write("fuzz_exchange", {
    "good_reply": seed(0x01, begin(), answer(1500), STEP),
    "kiss_of_death": seed(0x01, begin(), answer(0, stratum=0, leap=3), STEP),
    "ignored_then_answered": seed(0x01, begin(), datagram(STRANGE), datagram(GOOD, stranger=True), datagram(GOOD[:30]),
                                  STEP, wait(10), datagram(GOOD, oversized=True), STEP),
    # One exchange after another, each ended by a reply: good ones, with the wall clock
    # stepped or the zone changed, and ones without a usable time.
    "one_reply_after_another": seed(0x00, *[begin() + reply + STEP for reply in (
        wait(2) + answer(-4000), op(5, 0, 1) + struct.pack(">b", -25) + answer(900),
        op(5) + struct.pack(">b", 8) + answer(-300), answer(10, leap=3), answer(10, stratum=16),
        answer(0, stratum=0, ref=INIT), datagram(GOOD[:30], cookie=True),
        datagram(packet(octet(0, 4, 4), rx=ntp(NOW), tx=ntp(NOW), dispersion=0x0011_0000), cookie=True),
        datagram(packet(octet(0, 4, 4), rx=ntp(NOW + 3), tx=ntp(NOW)), cookie=True),
        datagram(packet(octet(0, 4, 4), rx=ntp(NOW - 5), tx=ntp(NOW)), cookie=True))]),
    "slow_lookup": seed(0x0F, begin(), wait(10), answer(-20), wait(46), answer(30), STEP),
    "lookup_slower_than_a_try": seed(0x0C, begin(), TO_END, begin(), TO_END, answer(10), STEP),
    "lookup_fails": seed(0x41, begin(), STEP, TO_END, begin()),
    "refused_then_next": seed(TWO | 0x01, begin(), answer(100), STEP, refusals=1),
    "open_fails_then_next": seed(TWO | 0x01, begin(), answer(100), STEP, opens=1),
    "refused_only": seed(0x01, begin(), STEP, refusals=1),
    "kiss_on_one_of_two": seed(TWO, begin(), answer(0, stratum=0, ref=RSTR), STEP, TO_END, begin(), answer(5), STEP,
                               begin(), TO_END, begin()),
    "three_addresses_in_turn": seed(THREE, *[begin() + TO_END] * 3, begin(), answer(20), STEP),
    "given_up_and_begun_again": seed(TWO | 0x01, begin(), wait(5), begin(), wait(5), begin(), answer(3), STEP),
    "abandoned_with_an_answer_on_its_way": seed(0x01, begin(), answer(10, delay_50ms=2), ABANDON, wait(20), begin(),
                                                TO_END),
    "resends_round_three_addresses": seed(RESENDS | THREE | 0x03, begin(), TO_END, begin(), TO_END, refusals=0x04),
    # Answered 350 ms after each request: the first answer comes after the second request.
    "answer_to_an_earlier_request": seed(RESENDS | 0x01, policy(0, 250, delay_50ms=7), begin(), TO_END),
    # The rest of the round is a server that said stop: the round begins again.
    "resends_round_past_a_server_that_said_stop": seed(RESENDS | THREE | 0x03, begin(1), answer(0, stratum=0, slot=1),
                                                       STEP, begin(1), TO_END),
    "several_at_once": seed(TWO | 0x01, policy(0, 100, delay_50ms=1), policy(1, 0, stratum=0, ref=DENY),
                            policy(3, -900, delay_50ms=3), at_once(0x0F), at_once(0x0F)),
    "several_at_once_named_and_given": seed(RESENDS | THREE | 0x08, policy(1, 40), policy(2, 40, delay_50ms=6),
                                            at_once(0x37), refusals=0x01),
    "begun_together_before_the_lookup": seed(THREE | 0x08, begin(0), begin(1), begin(2), wait(35), answer(5, slot=1),
                                             STEP, TO_END),
    "running_while_others_run_at_once": seed(TWO | 0x01, begin(0), policy(1, 60), at_once(0x06), answer(70), STEP),
    "every_server_said_stop": seed(0x00, begin(), answer(0, stratum=0, ref=RATE), STEP, begin(), begin(given=True),
                                   TO_END),
})


def ke_record(kind, body=b"", critical=True):
    return struct.pack(">HH", kind | (0x8000 if critical else 0), len(body)) + body


KE_END = ke_record(0)
KE_GOOD = (ke_record(1, b"\x00\x00") + ke_record(4, b"\x00\x0f") + ke_record(5, b"C" * 100, False) * 2
           + ke_record(6, b"ntp.example", False) + ke_record(7, b"\x00\x7b", False) + KE_END)

def ntp_field(kind, body):
    return struct.pack(">HH", kind, 4 + len(body)) + body


# The identifier the fuzzer's authenticator sends, the same every run.
OUR_IDENTIFIER = b"\xa5" * 32

# fuzz_nts: the first byte picks the reader, even for the key exchange's answer, odd for a reply.
write("fuzz_nts", {
    "ke_answer": b"\x00" + KE_GOOD,
    "ke_error_record": b"\x00" + ke_record(2, b"\x00\x01") + KE_END,
    "ke_warning_and_no_cookie": b"\x00" + ke_record(3, b"\x00\x07") + ke_record(1, b"\x00\x00") + KE_END,
    "ke_cut_in_a_record": b"\x00" + KE_GOOD[:13],
    # Then the byte that fills the server's nonce, then the reply.
    "reply_plain": b"\x01\x00" + GOOD,
    "reply_with_a_field": b"\x03\x00" + GOOD + ntp_field(0x0204, b"\x00" * 16),
    "reply_with_a_second_identifier": b"\x03\x24" + GOOD + ntp_field(0x0104, b"\x00" * 16),
    "reply_with_an_early_authenticator": (b"\x03\x31" + GOOD + ntp_field(0x0104, OUR_IDENTIFIER)
                                          + ntp_field(0x0404, b"\x00" * 36) + ntp_field(0, b"\x00" * 4)),
    # A field whose length takes in the identifier field the fuzzer appends.
    "reply_whose_field_takes_in_ours": (b"\x03\x30" + GOOD + struct.pack(">HH", 0x0104, 128) + OUR_IDENTIFIER
                                        + b"\x2c" * 56),
})
