#include "VxTextBrowser.h"

namespace DAROZ {

// The update notes may hold links; following one would replace the notes
// in place, so links are only reported (anchorClicked) and never opened.
VxTextBrowser::VxTextBrowser(QWidget* parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
}

VxTextBrowser::~VxTextBrowser() = default;

} // namespace DAROZ
