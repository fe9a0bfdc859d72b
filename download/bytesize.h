#pragma once

#include <QString>

// "desconhecido" for a negative count, otherwise B, KB, MB or GB with locale-free digits.
QString formatByteSize(qint64 bytes);
