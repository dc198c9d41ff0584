// Recording replacements for the platform calls of start-up, close-down and
// the control thread, shared by the lifecycle and control-thread tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct PlatformRecord {
    std::vector<std::string> box_texts;
    std::string box_caption;
    UINT box_type = 0;
    HWND box_owner = reinterpret_cast<HWND>(1);
    int box_answer = IDNO;

    int wsa_startup_result = 0;
    WORD wsa_version = 0;
    int wsa_cleanups = 0;

    bool alloc_fails = false;
    SIZE_T alloc_bytes = 0;
    void* freed = nullptr;

    bool create_thread_fails = false;
    int terminations = 0;
};

extern PlatformRecord Calls;

// Puts the recording entries into Platform and clears Calls.
void record_platform_calls();

// Runs closedown on the running daemon and checks closedown's own view:
// how long it took, that the thread has ended and that everything startup
// took is released.
void close_down_and_expect_thread_gone(DWORD min_ms, DWORD max_ms);

// closedown's time when the thread leaves by itself, and when it has to be
// terminated after the 500 ms grace and settled for 100 ms (Wine's tick
// count moves in steps of up to 16 ms).
constexpr DWORD LeftByItselfMs = 50;
constexpr DWORD TerminatedMinMs = 580, TerminatedMaxMs = 800;

// Milliseconds since an arbitrary start.
DWORD now_ms();
