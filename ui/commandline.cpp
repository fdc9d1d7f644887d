// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/commandline.h"

CommandLine parseCommandLine(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return {};
    // A name that starts with "-" is taken for an option, which pelorin has
    // none of; "./-x.mes" names such a file.
    if (arguments.size() > 1 || arguments.first().isEmpty() || arguments.first().startsWith(u'-'))
        return {false, {}};
    return {true, arguments.first()};
}
