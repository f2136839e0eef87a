// Searches in narrow strings of a multibyte (ANSI) code page.
//
// Every search walks the text character by character: a lead byte and the
// trail byte after it form one character, so a trail byte is never matched on
// its own. The caller supplies the code page's lead-byte test, which keeps this
// code free of the platform and testable with any code page.
#pragma once

#include <string_view>

namespace zelvra {

using LeadByteTest = bool (*)(unsigned char byte);

// Lead-byte test of a single-byte code page: no byte leads a pair.
bool NoLeadBytes(unsigned char byte);

// Lead-byte test of code page 949 (Korean), for tests and tools.
bool IsLeadByte949(unsigned char byte);

// Position of the first occurrence of `what` in `text` that starts on a
// character boundary at or after `start`, or -1. An empty `what` is found at
// `start` when `start` lies within the text; a `start` beyond the end finds
// nothing.
int MbcsFind(std::string_view text, std::string_view what, int start,
             LeadByteTest isLeadByte);

// Position of the last character equal to `ch` (a single-byte character), or -1.
int MbcsReverseFind(std::string_view text, char ch, LeadByteTest isLeadByte);

}  // namespace zelvra
