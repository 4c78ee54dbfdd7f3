#pragma once
// A label with one link keeps Tab for moving between its own links, so the keyboard cannot
// leave it. This filter hands Tab and Shift+Tab on to the next control of the window instead.

#include <QObject>

class QLabel;

class CLinkTabFilter : public QObject
{
    Q_OBJECT
public:
    // Installs itself on pLink, as its child.
    explicit CLinkTabFilter(QLabel* pLink);

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;
};
