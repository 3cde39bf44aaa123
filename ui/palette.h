// The one palette and the drawing fonts of the desktop app. Lengths are 96-dpi pixels; Qt
// scales them to the screen.
#pragma once

#include <QColor>
#include <QFont>

namespace twk::ui {

inline const QColor kBackground{0xFA, 0xFA, 0xF9};
inline const QColor kAccent{0x16, 0x67, 0xD9};
inline const QColor kAccentHover{0x0F, 0x52, 0xAE};
inline const QColor kText{0x1A, 0x1A, 0x1A};
inline const QColor kError{0xD9, 0x30, 0x25};
inline const QColor kStatusBackground{0xF8, 0xF8, 0xF6};
inline const QColor kBannerBackground{0xEA, 0xF1, 0xFC};
inline const QColor kTrack{0xEA, 0xF1, 0xFC};

// Black at `percent` opacity: the palette's greys.
inline QColor grey(double percent) { return QColor(0, 0, 0, static_cast<int>(percent * 255 / 100 + 0.5)); }
inline QColor with_alpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}
inline const QColor kDivider = QColor(0, 0, 0, 0x12);
// Selected rows: the accent, light enough for the row's texts and bar to read on it.
inline const QColor kSelection = QColor(0x16, 0x67, 0xD9, 0x26);

// The desktop's sans-serif family (semibold from weight 500) or its monospace family (bold at
// weight 600 and above), at a pixel size that may be fractional. Made once per combination.
QFont ui_font(double pixels, int weight, bool monospaced = false);

} // namespace twk::ui
