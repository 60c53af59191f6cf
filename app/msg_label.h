// The status label of the main window: notices of the lower layers show in
// it for ten ticks of its own 500 ms timer; then it shows the standing text
// (a state that lasts, such as a SEND that is away), or nothing.
#pragma once

#include <string>

#include "platform/ui/controls.h"

class CMsg : public CStatic {
public:
    static constexpr UINT_PTR TIMER_ID = 104;
    static constexpr int NOTICE_TICKS = 10;
    static constexpr COLORREF BACKGROUND = RGB(255, 255, 255);

    CMsg() = default;

    void startTimer();
    // A notice (CP932): replaces the one shown and stays ten ticks.
    void showMessage(const std::string& text);
    // The standing text (CP932), shown whenever no notice is live until it
    // is set again ("" takes it away).
    void setStandingText(const std::string& text);
    // The label shows the notice while one is live, else the standing text.
    void refresh();
    BOOL DestroyWindow() override;

    // The two slots, for the window and for tests.
    const std::string& text1() const { return m_text1; }
    const std::string& text2() const { return m_text2; }
    int flags() const { return m_flags; }

    // The label's countdown (also what its timer calls).
    void OnTimer(UINT_PTR nIDEvent) override;

private:
    std::string m_text1; // standing text
    std::string m_text2; // the notice
    int m_flags = 0;     // bit 0: text1 live, bit 1: text2 live
    int m_count1 = 0;
    int m_count2 = 0;
};
