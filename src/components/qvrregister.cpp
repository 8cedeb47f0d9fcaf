#include "qvrregister.h"

#include "qvrMessages.h"
#include "qvrPlatform.h"

TRegisterQuiver::TRegisterQuiver() = default;
TRegisterQuiver::~TRegisterQuiver() = default;

void TRegisterQuiver::ZipCmntBufSize(int32_t V)
{
    FZipCmntBufSize = V > 32767 ? 32767 : V < 2000 ? 2000 : V;
}
