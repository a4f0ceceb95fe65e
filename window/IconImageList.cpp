#include "IconImageList.h"

#include <QFileInfo>
#include <QIcon>
#include <QStandardPaths>

namespace {
// Full themes with file-type icons, tried in this order where the theme in
// force lacks them.
const char* const StandInThemes[] = {"Adwaita", "breeze", "oxygen", "gnome", "Tango"};
}  // namespace

bool TIconImageList::Bind() {
    // Without a desktop's platform theme Qt knows no icon folders and no
    // theme; the XDG data folders hold them.
    QStringList paths = QIcon::themeSearchPaths();
    for (const QString& folder :
         QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("icons"),
                                   QStandardPaths::LocateDirectory)) {
        if (!paths.contains(folder)) paths << folder;
    }
    QIcon::setThemeSearchPaths(paths);
    if (QIcon::themeName().isEmpty()) QIcon::setThemeName(QStringLiteral("hicolor"));

    // A theme that inherits only hicolor has next to no file-type icons: a
    // full theme stands behind it. Chosen before the first lookup, because
    // lookups are cached.
    const QString fallback = QIcon::fallbackThemeName();
    if (fallback.isEmpty() || fallback == QLatin1String("hicolor")) {
        bool chosen = false;
        for (const char* theme : StandInThemes) {
            for (const QString& root : QIcon::themeSearchPaths()) {
                if (QFileInfo::exists(root + QLatin1Char('/') + QLatin1String(theme) + QLatin1String("/index.theme"))) {
                    QIcon::setFallbackThemeName(QLatin1String(theme));
                    chosen = true;
                    break;
                }
            }
            if (chosen) break;
        }
    }
    bound_ = QIcon::hasThemeIcon(QStringLiteral("text-x-generic")) ||
             QIcon::hasThemeIcon(QStringLiteral("application-x-generic"));
    return bound_;
}

int TIconImageList::IndexOf(const QString& name, const QString& fallbackName) {
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].Name == name && entries_[i].FallbackName == fallbackName) return static_cast<int>(i);
    entries_.push_back({name, fallbackName});
    return static_cast<int>(entries_.size() - 1);
}

QPixmap TIconImageList::Icon(int index) const {
    if (!bound_ || index < 0 || static_cast<std::size_t>(index) >= entries_.size()) return {};
    const TEntry& entry = entries_[static_cast<std::size_t>(index)];
    QIcon icon = QIcon::fromTheme(entry.Name);
    if (icon.isNull() && !entry.FallbackName.isEmpty()) icon = QIcon::fromTheme(entry.FallbackName);
    if (icon.isNull()) return {};
    return icon.pixmap(IconSize, IconSize);
}
