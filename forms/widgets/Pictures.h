#pragma once
// The program's pictures, drawn at run time: the maker's logo, the PLC toolbar's buttons and
// the window icon.
#include <QIcon>
#include <QPixmap>

// The maker's logo scaled to Size (a chip mark and the maker's name).
QPixmap LogoPixmap(const QSize& Size);
QIcon StopIcon();
QIcon SingleStepIcon();
QIcon RunIcon();
QIcon ApplicationIcon();
