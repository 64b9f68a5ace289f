// XKT: Orvel's application object. It runs the main dialog and the program
// ends when the dialog does.
#pragma once

#include "Dialog.h"

class XKTApp : public App {
public:
    XKTApp() = default;
    ~XKTApp() override = default;

    bool InitInstance() override;
};
