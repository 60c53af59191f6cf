#include "app/msg_label.h"

void CMsg::startTimer()
{
    SetTimer(TIMER_ID, 500);
}

void CMsg::showMessage(const std::string& text)
{
    m_text2 = text;
    m_flags |= 2;
    m_count2 = NOTICE_TICKS;
    refresh();
}

void CMsg::setStandingText(const std::string& text)
{
    if (text == m_text1)
        return;
    m_text1 = text;
    m_count1 = 0; // no countdown: it stands until it is set again
    m_flags = text.empty() ? m_flags & ~1 : m_flags | 1;
    refresh();
}

void CMsg::refresh()
{
    if (m_flags & 2)
        SetWindowText(m_text2);
    else if (m_flags & 1)
        SetWindowText(m_text1);
    else
        SetWindowText(std::string());
    Invalidate(TRUE);
}

BOOL CMsg::DestroyWindow()
{
    KillTimer(TIMER_ID);
    return CStatic::DestroyWindow();
}

void CMsg::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == TIMER_ID) {
        const int before = m_flags;
        if (m_count1 > 0) {
            if (m_count1-- == 1) {
                m_flags &= ~1;
                m_text1.clear();
            }
        }
        if (m_count2 > 0) {
            if (m_count2-- == 1) {
                m_flags &= ~2;
                m_text2.clear();
            }
        }
        if (m_flags != before)
            refresh();
    }
    CStatic::OnTimer(nIDEvent);
}
