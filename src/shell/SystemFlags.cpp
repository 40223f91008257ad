#include "SystemFlags.h"

#include "Defaults.h"

#include <QRegularExpression>
#include <QSysInfo>

std::atomic<bool> OS105{false}, OS106{false}, OS107{false}, OS108{false}, OS109{false},
    OS1010{false}, OS1011{false}, OS1014{false}, OS1015{false};
std::atomic<bool> HASDECRYPT{false};
std::atomic<bool> gAvoidGlyphRangeForTextContainer{false};

void setSystemFlags()
{
    for (std::atomic<bool> *flag : {&OS105, &OS106, &OS107, &OS108, &OS109, &OS1010, &OS1011, &OS1014, &OS1015})
        flag->store(true);
    HASDECRYPT.store(OS107.load());
    gAvoidGlyphRangeForTextContainer.store(preferenceBool(QStringLiteral("NOCONVERT")));
}

QString systemVersionString()
{
    // The kernel's release ("6.1.0-13-amd64") is the one version every Linux system gives.
    static const QRegularExpression leading(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const QRegularExpressionMatch match = leading.match(QSysInfo::kernelVersion());
    int numbers[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i)
        numbers[i] = match.captured(i + 1).toInt();
    return QStringLiteral("%1.%2.%3").arg(numbers[0]).arg(numbers[1]).arg(numbers[2]);
}
