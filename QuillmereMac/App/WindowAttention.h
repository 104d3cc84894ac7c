#pragma once

class QWidget;

namespace quillmere {

// Asks for the user's attention with a window while leaving the keyboard
// with the application in use: the window is shown without being activated
// (restored if minimized), raised where the window manager allows it, and
// marked as demanding attention. A click on it focuses it as usual.
class WindowAttention {
public:
    static void ask(QWidget& window);
};

} // namespace quillmere
