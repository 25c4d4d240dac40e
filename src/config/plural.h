#pragma once

#include <QString>

// The form of a Russian noun that follows a count: `one` after 1, 21, 101 …
// ("заявка"), `few` after 2–4, 22–24 … ("заявки"), `many` after 0, 5–20,
// 25–30, 111–114 … ("заявок"). The sign of the count does not matter.
QString RussianPlural(qint64 count, const QString &one, const QString &few, const QString &many);
