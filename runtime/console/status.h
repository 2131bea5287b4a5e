// A transient status line (progress of a transfer) on the terminal's current line.
#pragma once
#include <cstdint>
#include <string>

// On a terminal only: CR, the text clipped to the width less one column (control bytes
// shown visibly), then erase to the line's end; no line end. Replaces a status line shown
// before. Every console print and print-line erases a shown status line first, so the
// lines that stay on screen are unchanged.
void console_status_show(const char* text);

// True when a status line can be shown (standard output is a terminal): what is worked
// out only for the status line need not be worked out otherwise.
bool console_status_possible();

// Erases a shown status line (CR, erase to the line's end); nothing when none is shown.
void console_status_clear();

// On a terminal only: the text on the line below the cursor's, clipped as above, with the
// cursor left where it was (a prompt being answered stays as it is); null or the empty
// text erases that line. Meant for a freshly cleared screen, where that line is free.
void console_status_below(const char* text);

// While a raw line input waits for a key, fn is called about every interval_ms on the
// waiting thread (to redraw a status line); null stops it.
void console_set_input_idle(void (*fn)(), int32_t interval_ms);

// "  12.5 MiB / 100.0 MiB  12%  45.3 MiB/s": bytes done, the total and the percentage
// done, and the mean rate over the seconds taken. A total of 0 or less shows only the
// bytes done and the rate; no time taken shows a rate of 0. Units B, KiB, MiB, GiB, TiB
// (binary), one decimal from KiB on; independent of the locale.
std::string format_progress(int64_t done, int64_t total, double seconds);
