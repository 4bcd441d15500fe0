#pragma once

#include <QIcon>
#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;

// The caption of the frameless update window: icon, title and caption buttons.
class TitleBar : public QWidget
{
    Q_OBJECT
public:
    explicit TitleBar(QWidget* parent = nullptr);
    ~TitleBar() override;

    void SetButtonType(int type);
    void SetTitleIcon(const QIcon& icon);
    void SetTitleText(const QString& text);
    QIcon GetTitleIcon() const;
    QString GetTitleText() const;

signals:
    void SgnCloseWindow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private slots:
    void onClicked();

private:
    void UpdateMaximize();
    void StartWindowDrag(QWidget* window, const QPoint& pressGlobalPos);

    QLabel* m_pIconLabel = nullptr;
    QLabel* m_pTitleLabel = nullptr;
    QPushButton* m_pMinimizeButton = nullptr;
    QPushButton* m_pMaximizeButton = nullptr;
    QPushButton* m_pCloseButton = nullptr;
    // The move of the window while the button is held, where the platform
    // layer did not take it from the press; gone once the button is released.
    QPointer<QObject> m_pWindowDrag;
};
