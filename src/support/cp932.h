#pragma once
// Code page 932 character boundaries without the platform, so portable code and the tools agree with
// IsDBCSLeadByte/CharNextA on which byte starts a character.

inline int IsCp932LeadByte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Bytes of the character at `s`: 1, or 2 for a lead byte followed by a non-NUL byte. A lead byte right before
// the terminating NUL counts as one byte, so no walk ever steps over the end of a string.
inline int Cp932CharLength(const char* s)
{
    if (IsCp932LeadByte((unsigned char)s[0]) && s[1] != '\0')
        return 2;
    return 1;
}

// Length of the longest prefix of `s` (of `length` bytes) that is at most `limit` bytes and does not end inside a
// double-byte character: the place to cut a text at a buffer's limit.
inline unsigned Cp932CutLength(const char* s, unsigned length, unsigned limit)
{
    if (length <= limit)
        return length;
    unsigned at = 0;
    for (;;) {
        unsigned step = IsCp932LeadByte((unsigned char)s[at]) ? 2 : 1;
        if (at + step > limit)
            return at;
        at += step;
    }
}
