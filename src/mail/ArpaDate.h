#pragma once

// Capacity arpadate needs, terminating zero included.
constexpr int kArpaDateCapacity = 32;

// Writes the current moment as an RFC 822 date-time with a numeric zone
// offset ("Tue, 14 Jul 2026 09:05:00 +0200", or "GMT" for a zero offset)
// into buffer (at least kArpaDateCapacity bytes) and returns buffer.
char* arpadate(char* buffer);
