"""Z85 text encoding of bytes (4 bytes to 5 characters), as Delta writes
deletion vector UUIDs and inline vectors; the standard library has none
before base64 grew one."""

_ALPHABET = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-:+=^!/*?&<>()[]{}@%$#"
_VALUES = {char: index for index, char in enumerate(_ALPHABET)}


def encode(data):
    """The Z85 text of `data`, whose length must be a multiple of 4."""
    data = bytes(data)
    if len(data) % 4:
        raise ValueError("Z85 encodes whole 4-byte words, not %d bytes" % len(data))
    chars = []
    for start in range(0, len(data), 4):
        value = int.from_bytes(data[start:start + 4], "big")
        word = []
        for _ in range(5):
            value, digit = divmod(value, 85)
            word.append(_ALPHABET[digit])
        chars.extend(reversed(word))
    return "".join(chars)


def decode(text):
    """The bytes of Z85 `text`; ValueError for a length that is not a multiple
    of 5, a character outside the alphabet or a group above 2^32 - 1."""
    if len(text) % 5:
        raise ValueError("Z85 text of %d characters is not whole 5-character groups" % len(text))
    out = bytearray()
    for start in range(0, len(text), 5):
        value = 0
        for offset, char in enumerate(text[start:start + 5]):
            digit = _VALUES.get(char)
            if digit is None:
                raise ValueError("character %r at %d is not Z85" % (char, start + offset))
            value = value * 85 + digit
        if value > 0xFFFFFFFF:
            raise ValueError("Z85 group at %d is above 2^32 - 1" % start)
        out += value.to_bytes(4, "big")
    return bytes(out)
