"""An independent decoder of the fast lossless chunk code (version 3), written
from docs/format.md: slow and plain, to check the tool's bytes against."""

TABLES = [("time", 255)] * 8 + [("place", 75)] * 4 + [("row", 63)] * 3 + [("column", 63)] * 9
SCALE_BITS = 10
RANS_LOW = 1 << 16
RECENT = 4096
NEW_PLACE = 24


class Damaged(Exception):
    pass


def varint(data, at):
    value, shift = 0, 0
    while True:
        if at >= len(data):
            raise Damaged("code ends inside a number")
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


def count_of(q):
    """The count a stored value stands for."""
    if q < 8:
        return q
    length, below = (q - 8) // 4 + 4, (q - 8) % 4
    return (4 + below) << (length - 3) | 1 << (length - 4)


def normalise(counts):
    """Frequencies out of 1024 for the counts, as the format defines them."""
    total = sum(counts.values())
    freqs = {s: max(1, (c * 1024 + total // 2) // total) for s, c in counts.items()}
    largest = max(sorted(counts), key=lambda s: counts[s])  # the first of the largest counts
    excess = sum(freqs.values()) - 1024
    if excess < 0:
        freqs[largest] -= excess
    while excess > 0:
        biggest = max(sorted(freqs), key=lambda s: freqs[s])  # the first of the largest
        cut = min(excess, max(freqs[biggest] // 2, 1))
        freqs[biggest] -= cut
        excess -= cut
    return freqs


def gamma(bits):
    k = 0
    while bits.get(1) == 0:
        k += 1
    return 1 << k | bits.get(k)


def read_table(bits, alphabet):
    present = gamma(bits) - 1
    symbols, symbol = [], -1
    for _ in range(present):
        symbol += gamma(bits)
        symbols.append(symbol)
    assert all(s < alphabet for s in symbols)
    if present <= 1:
        return {s: 1 << SCALE_BITS for s in symbols}
    return normalise({s: count_of(bits.get(7)) for s in symbols})


class Rans:
    def __init__(self, code):
        self.words = [code[i] | code[i + 1] << 8 for i in range(0, len(code) - 1, 2)]
        self.at = 4
        self.states = [self.words[0] | self.words[1] << 16, self.words[2] | self.words[3] << 16]

    def get(self, which, freqs):
        x = self.states[which]
        slot = x % (1 << SCALE_BITS)
        start = 0
        for s in sorted(freqs):
            if slot < start + freqs[s]:
                x = freqs[s] * (x >> SCALE_BITS) + slot - start
                if x < RANS_LOW:
                    x = x << 16 | self.words[self.at]
                    self.at += 1
                self.states[which] = x
                return s
            start += freqs[s]
        raise Damaged("symbol from an empty table")

    def done(self):
        return self.at == len(self.words) and self.states == [RANS_LOW, RANS_LOW]


class Bits:
    def __init__(self, data):
        self.value = int.from_bytes(data, "little")
        self.size = 8 * len(data)
        self.at = 0

    def get(self, count):
        v = (self.value >> self.at) & ((1 << count) - 1)
        self.at += count
        return v


def step(symbol, bits):
    """A signed step token and its plain bits: (value, magnitude's bit length)."""
    if symbol == 0:
        return 0, 0
    k = (symbol + 1) // 2
    negative = symbol % 2 == 0
    if k == 1:
        m, length = 1, 1
    else:
        length = k // 2 + 1
        m = 1 << (length - 1) | (k & 1) << (length - 2) | bits.get(length - 2)
    return (-m if negative else m), length


def decode_chunk(code, count, ages=None):
    """The chunk's events; with a list `ages`, appends to it each event's age
    (0 for an event coded as a new pixel)."""
    stored = Bits(code)
    tables = [read_table(stored, alphabet) for _, alphabet in TABLES]
    at = (stored.at + 7) // 8
    assert stored.value >> stored.at & ((1 << (8 * at - stored.at)) - 1) == 0
    length, at = varint(code, at)
    rans = Rans(code[at:at + length])
    bits = Bits(code[at + length:])
    events, recent = [], []
    t = x = y = p = 0
    time_length = known = 0
    for n in range(count):
        time = rans.get(0, tables[min(time_length, 7)])
        dt, length_t = step(time, bits)
        t = (t + dt) % 2**64
        token = rans.get(1, tables[8 + 2 * known + (time == 0)])
        place, polarity = divmod(token, 3)
        predicted = p
        if place != NEW_PLACE:
            age = (0 if place == 0 else step(2 * place - 1, bits)[0]) + 1
            assert age <= n
            x, y, predicted = recent[n - age]
            known = 1
            if ages is not None:
                ages.append(age)
        else:
            tc = 0 if time == 0 else (1 if length_t <= 4 else 2)
            row = rans.get(0, tables[12 + tc])
            y = (y + step(row, bits)[0]) % 65536
            rc = 0 if row == 0 else (1 if row <= 2 else 2)
            column = rans.get(1, tables[15 + 3 * rc + tc])
            x = (x + step(column, bits)[0]) % 65536
            known = 0
            if ages is not None:
                ages.append(0)
        p = [predicted, predicted ^ 1, None][polarity]
        if p is None:
            p = bits.get(8)
        recent.append((x, y, p))
        time_length = length_t
        events.append((x, y, t, p))
    assert rans.done(), "rANS code does not end with the events"
    assert bits.size - bits.at < 8 and bits.value >> bits.at == 0, "plain bits left over"
    return events


def decode_file(data, ages=None):
    """Every event of a version 3 lossless .ovkc file (and, with a list
    `ages`, each event's age, as decode_chunk gives them)."""
    import struct
    assert data[:4] == b"OVKL" and struct.unpack_from("<H", data, 4)[0] == 3
    table_offset, count, _ = struct.unpack_from("<QQQ", data, len(data) - 40)
    events = []
    for i in range(count):
        offset, size, n = struct.unpack_from("<QII", data, table_offset + 48 * i)
        events += decode_chunk(data[offset:offset + size], n, ages)
    return events
