#include "ReadOnlyEdit.h"

// A disabled edit asks for its colours as a static control does, an enabled
// one as an edit: the field answers both.
const EventEntry<ReadOnlyEdit> ReadOnlyEdit::s_events[] = {
    EventEntry<ReadOnlyEdit>::Message(WM_REFLECTED_CTLCOLOR, &ReadOnlyEdit::CtlColor),
};

ReadOnlyEdit::ReadOnlyEdit() : m_crText(RGB(0, 0, 0)), m_crBackground(RGB(0, 0, 0))
{
}

ReadOnlyEdit::~ReadOnlyEdit() = default;

void ReadOnlyEdit::SetBackgroundColor(COLORREF color)
{
    m_crBackground = color;
    // Release the old brush before making the new one: one brush at a time.
    m_brBackground.reset();
    m_brBackground.reset(CreateSolidBrush(color));
    if (m_hWnd)
        InvalidateRect(m_hWnd, nullptr, TRUE);
}

bool ReadOnlyEdit::OnEvent(Event& ev)
{
    return DispatchEvent(*this, s_events, ev) || Control::OnEvent(ev);
}

HBRUSH ReadOnlyEdit::CtlColor(HDC hdc, UINT /*nCtlColor*/)
{
    SetTextColor(hdc, m_crText);
    SetBkColor(hdc, m_crBackground);
    return m_brBackground.get();
}
