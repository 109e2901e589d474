#include "support/exceptions.h"

#include "platform/text.h"

ProcessException::ProcessException(const wchar_t* message)
    : MessageException(utf8_from_wide(message)) {}
