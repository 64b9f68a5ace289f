// ReadOnlyEdit: the status field, an edit control that paints its own
// background in a colour its owner sets. The owning dialog hands the field's
// colour requests on to it once the field is attached.
#pragma once

#include "Dialog.h"

#include <memory>
#include <type_traits>

class ReadOnlyEdit : public Control {
public:
    ReadOnlyEdit();
    ~ReadOnlyEdit() override;

    // Paints the whole field in color from now on, at once.
    void SetBackgroundColor(COLORREF color);

    bool OnEvent(Event& ev) override;

private:
    struct BrushDeleter {
        void operator()(HBRUSH hBrush) const { DeleteObject(hBrush); }
    };
    using Brush = std::unique_ptr<std::remove_pointer_t<HBRUSH>, BrushDeleter>;

    HBRUSH CtlColor(HDC hdc, UINT nCtlColor);

    COLORREF m_crText;         // black, always
    COLORREF m_crBackground;
    Brush m_brBackground;   // none until the first SetBackgroundColor
    static const EventEntry<ReadOnlyEdit> s_events[];
};
