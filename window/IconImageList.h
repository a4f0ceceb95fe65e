// The large (32 x 32) icons of file types, taken from the icon theme. A type's
// icon is known by its index in the list, which GetFileTypeInfo hands out.
#pragma once

#include <QPixmap>
#include <QString>
#include <QStringList>
#include <vector>

class TIconImageList {
public:
    static constexpr int IconSize = 32;

    // Binds the list to the icon theme; where the theme in force has no
    // file-type icons, a full theme installed on the machine stands in.
    // False when no theme can give icons: the list then stays empty.
    bool Bind();

    // The index of the icon named `name` (or, where the theme lacks it,
    // `fallbackName`), adding it to the list.
    int IndexOf(const QString& name, const QString& fallbackName);

    // The icon at `index`; a null pixmap where the list can't give it.
    QPixmap Icon(int index) const;

private:
    struct TEntry {
        QString Name;
        QString FallbackName;
    };
    std::vector<TEntry> entries_;
    bool bound_ = false;
};
