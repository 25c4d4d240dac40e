#include "korvinaerror.h"

QString failureText(const std::exception &e)
{
    if (auto k = dynamic_cast<const KorvinaError *>(&e))
        return k->message();
    return QString::fromLocal8Bit(e.what());
}

bool isTransient(const std::exception &e)
{
    if (auto k = dynamic_cast<const KorvinaError *>(&e))
        return k->transient();
    return false;
}
