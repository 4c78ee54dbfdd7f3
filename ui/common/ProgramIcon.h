#pragma once
// The program icon, from the resources built into the program.

#include <QIcon>

QIcon ProgramIcon();
