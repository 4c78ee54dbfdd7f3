#pragma once
// Test help for windows that open modal boxes.

#include <QApplication>
#include <QWidget>

// Closes the modal widgets over a window, the way a user would, so that a test of a fault
// ends instead of waiting for a click. pKeep (the window under test) stays open.
inline void CloseModalWidgets(const QWidget* pKeep)
{
    for (int i = 0; i < 10; ++i)
    {
        QWidget* pModal = QApplication::activeModalWidget();
        if (pModal == nullptr || pModal == pKeep)
        {
            return;
        }
        pModal->close();
    }
}
