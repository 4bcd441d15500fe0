#pragma once

#include <QTextBrowser>

namespace DAROZ {

class VxTextBrowser : public QTextBrowser
{
    Q_OBJECT
public:
    explicit VxTextBrowser(QWidget* parent = nullptr);
    ~VxTextBrowser() override;
};

} // namespace DAROZ
