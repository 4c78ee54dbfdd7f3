#pragma once
// File-dialog filters written the platform's way, "Text (*.a;*.b)|*.a;*.b|All (*.*)|*.*||",
// turned into Qt's "Text (*.a *.b);;All (*)". A filter already in Qt's form stays as it is.

#include <QString>

QString ConvertFileFilter(const QString& strFilter);
