/* What becomes of a connection once Xlib has met its end, when the process is to go on.
 *
 * Xlib expects the exit handler of a broken connection to end the process, and leaves the
 * connection in a state that only works for that:
 * - It takes the display's user lock (as XLockDisplay does) and releases the display mutex
 *   before it calls the handlers. When the exit handler returns, the code that met the loss
 *   goes on as if it still held the mutex (it releases it once more), and nobody releases the
 *   user lock: any other thread's next call on the connection would wait for it forever.
 * - Requests made from then on are never sent, and their bytes are never taken out of the
 *   output buffer either. Once it is full (16 KB by default) Xlib hands out no room for the
 *   next request, and most request functions then write through a null pointer.
 * So the exit handler releases the user lock and takes the mutex again (as LockDisplay does),
 * which is the state the code below it expects, and from then on the buffer is emptied after
 * every request (the display's after function), so that a lost connection takes any number of
 * requests and drops them.
 *
 * C, not C++: Xlibint.h, which defines the display's inner fields and lock functions, does
 * not compile as C++ together with the standard library (it defines min and max). */
#include <X11/Xlibint.h>

/* What the last request points at while the buffer holds none (as Xlib does after a send). */
static const xReq kNoRequest;

/* Called with the display locked. */
static void DropRequests(Display* display) {
    display->bufptr = display->buffer;
    display->last_req = (char*)&kNoRequest;
}

/* The after function of a lost connection: runs at the end of every request function. */
static int AfterRequest(Display* display) {
    LockDisplay(display);
    DropRequests(display);
    UnlockDisplay(display);
    return 0;
}

void x11trap_settle_lost_display(Display* display) {
    XUnlockDisplay(display);
    LockDisplay(display);
    DropRequests(display);
    display->synchandler = AfterRequest;
}
