// Clean-up of stale print queues after the USB iSerial setting changed: a printer that reports a serial number
// appears to the printing system as a new device, and the queues made for it before point at a device URI that
// no longer exists.
#include <cstdlib>

#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/SystemLog.h"

using ovn::SysLog;

namespace {

// Lists the queues' device URIs, takes those in which the USB product text QP-PL35 is directly followed by a
// question mark (the serial-number part of the URI), and deletes those queues by name (the third field of
// `lpstat -v`, without its colon).
constexpr char kDeleteQueuesCommand[] =
    "for q in $(lpstat -v|awk '/QP-PL35[?]/ {print $3}');do lpadmin -x ${q%:};done";

}  // namespace

void ZVUSBPrinterOVN::deleteExistingPrinterQueues() {
    SysLog("deleting stale print queues: %s", kDeleteQueuesCommand);
    const int status = std::system(kDeleteQueuesCommand);
    // The outcome does not change what happens next; it is only logged.
    SysLog("print queue clean-up finished with status %d", status);
}
