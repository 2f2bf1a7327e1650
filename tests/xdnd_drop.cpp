// Drops a file on a window as a file manager on the same X display does, through the X
// drag-and-drop protocol (XDND): the file offered as a file:// URI in text/uri-list, the drag
// held over the window's middle, dropped once the window says it would take it. Wine's X11
// driver turns such a drop into WM_DROPFILES for a window that accepts dropped files, and
// refuses it for one that does not.
//
//   xdnd_drop WINDOW FILE
//
// WINDOW: the X window's id, as `xdotool search` prints it; the drop goes to it or to the
// window inside it that says it takes drops (its XdndAware property). FILE: an absolute path.
// Exit status 0 once the window has taken the drop; 1, and why on standard error, where it
// refuses it or does not answer in time; 2 for a wrong command line.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <poll.h>
#include <time.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The newest protocol version this source speaks; 5 adds whether the drop was taken to
// XdndFinished. Version 3 is the oldest whose messages read as these do.
const long NEWEST_VERSION = 5;
const long OLDEST_VERSION = 3;
const long FINISHED_SAYS_TAKEN_VERSION = 5;
// Ample for Wine on a machine whose cores a build takes; a window that never answers fails.
const long ANSWER_TIMEOUT_MILLISECONDS = 30000;

struct Atoms {
    Atom aware, selection, enter, position, status, drop, leave, finished, uriList, actionCopy;
};

Atoms atomsOf(Display* display) {
    Atoms atoms;
    atoms.aware = XInternAtom(display, "XdndAware", False);
    atoms.selection = XInternAtom(display, "XdndSelection", False);
    atoms.enter = XInternAtom(display, "XdndEnter", False);
    atoms.position = XInternAtom(display, "XdndPosition", False);
    atoms.status = XInternAtom(display, "XdndStatus", False);
    atoms.drop = XInternAtom(display, "XdndDrop", False);
    atoms.leave = XInternAtom(display, "XdndLeave", False);
    atoms.finished = XInternAtom(display, "XdndFinished", False);
    atoms.uriList = XInternAtom(display, "text/uri-list", False);
    atoms.actionCopy = XInternAtom(display, "XdndActionCopy", False);
    return atoms;
}

enum DragStage { AWAITING_STATUS, AWAITING_FINISHED, TAKEN, FAILED };

struct Drag {
    Display* display;
    Atoms atoms;
    Window source;  // ours: owns the selection, receives the target's answers
    Window target;  // the window that carries XdndAware
    long version;
    std::string uriList;  // what the selection holds: the file's URI and CR LF
    bool uriListGiven;    // the window asked for it and got it
    DragStage stage;
};

// The protocol version the window's XdndAware names, 0 where it has none.
long awareVersion(Display* display, Atom aware, Window window) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* value = nullptr;
    long version = 0;
    if (XGetWindowProperty(display, window, aware, 0, 1, False, XA_ATOM, &type, &format, &count,
                           &left, &value) == Success &&
        type == XA_ATOM && format == 32 && count == 1)
        version = static_cast<long>(*reinterpret_cast<Atom*>(value));
    if (value != nullptr) XFree(value);
    return version;
}

// The window itself where it carries XdndAware, else the first window inside it that does;
// 0 where none does.
Window awareWindow(Display* display, Atom aware, Window window) {
    if (awareVersion(display, aware, window) != 0) return window;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i)
        found = awareWindow(display, aware, children[i]);
    if (children != nullptr) XFree(children);
    return found;
}

// file:// and the path, every byte but the unreserved ones and '/' as %XX, as the URI list
// carries it.
std::string fileUri(const char* path) {
    std::string uri = "file://";
    for (const char* at = path; *at != '\0'; ++at) {
        const unsigned char byte = static_cast<unsigned char>(*at);
        if (isalnum(byte) || strchr("/-._~", byte) != nullptr) {
            uri += *at;
        } else {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", byte);
            uri += escaped;
        }
    }
    return uri;
}

void sendToTarget(const Drag& drag, Atom type, long l1, long l2, long l3, long l4) {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = drag.target;
    event.xclient.message_type = type;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(drag.source);
    event.xclient.data.l[1] = l1;
    event.xclient.data.l[2] = l2;
    event.xclient.data.l[3] = l3;
    event.xclient.data.l[4] = l4;
    XSendEvent(drag.display, drag.target, False, NoEventMask, &event);
    XFlush(drag.display);
}

// The drag enters the window and stands over its middle, offering a copy.
void enterMiddle(const Drag& drag) {
    XWindowAttributes attributes;
    XGetWindowAttributes(drag.display, drag.target, &attributes);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(drag.display, drag.target, attributes.root, attributes.width / 2,
                          attributes.height / 2, &x, &y, &child);
    sendToTarget(drag, drag.atoms.enter, drag.version << 24, static_cast<long>(drag.atoms.uriList),
                 None, None);
    sendToTarget(drag, drag.atoms.position, 0, (long(x) << 16) | long(y), CurrentTime,
                 static_cast<long>(drag.atoms.actionCopy));
}

// The window asks for the dragged data: the URI list where it asks for that, nothing else.
void answerRequest(Drag* drag, const XSelectionRequestEvent& request) {
    XEvent answer = {};
    answer.xselection.type = SelectionNotify;
    answer.xselection.requestor = request.requestor;
    answer.xselection.selection = request.selection;
    answer.xselection.target = request.target;
    answer.xselection.time = request.time;
    answer.xselection.property = None;
    if (request.selection == drag->atoms.selection && request.target == drag->atoms.uriList) {
        const Atom property = request.property != None ? request.property : request.target;
        XChangeProperty(drag->display, request.requestor, property, drag->atoms.uriList, 8,
                        PropModeReplace,
                        reinterpret_cast<const unsigned char*>(drag->uriList.data()),
                        static_cast<int>(drag->uriList.size()));
        answer.xselection.property = property;
        drag->uriListGiven = true;
    }
    XSendEvent(drag->display, request.requestor, False, NoEventMask, &answer);
    XFlush(drag->display);
}

void fail(Drag* drag, const char* why) {
    fprintf(stderr, "xdnd_drop: %s\n", why);
    drag->stage = FAILED;
}

// A drag that will not be dropped leaves the window, as a person's would.
void leave(Drag* drag, const char* why) {
    sendToTarget(*drag, drag->atoms.leave, 0, 0, 0, 0);
    fail(drag, why);
}

// The window's answer: whether it would take the drop where the drag stands, then whether it
// took it.
void takeAnswer(Drag* drag, const XClientMessageEvent& message) {
    const bool yes = (message.data.l[1] & 1) != 0;
    if (message.message_type == drag->atoms.status && drag->stage == AWAITING_STATUS) {
        if (!yes)
            return leave(drag, drag->uriListGiven
                                       ? "the window refused the drop (XdndStatus does not accept it)"
                                       : "the window refused the drop without asking for the URI "
                                         "list");
        sendToTarget(*drag, drag->atoms.drop, 0, CurrentTime, 0, 0);
        drag->stage = AWAITING_FINISHED;
    } else if (message.message_type == drag->atoms.finished && drag->stage == AWAITING_FINISHED) {
        if (drag->version >= FINISHED_SAYS_TAKEN_VERSION && !yes)
            return fail(drag, "the window did not take the drop (XdndFinished says so)");
        drag->stage = TAKEN;
    }
}

long millisecondsNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The window's answers and requests, handled as they come, until the drop is taken, refused,
// or the time is up.
void runDrag(Drag* drag) {
    const long deadline = millisecondsNow() + ANSWER_TIMEOUT_MILLISECONDS;
    pollfd connection = {ConnectionNumber(drag->display), POLLIN, 0};
    while (drag->stage == AWAITING_STATUS || drag->stage == AWAITING_FINISHED) {
        if (XPending(drag->display) == 0) {
            const long left = deadline - millisecondsNow();
            if (left <= 0 || poll(&connection, 1, static_cast<int>(left)) == 0)
                return drag->stage == AWAITING_STATUS
                               ? leave(drag, "no XdndStatus from the window in time")
                               : fail(drag, "no XdndFinished from the window in time");
            continue;
        }
        XEvent event;
        XNextEvent(drag->display, &event);
        if (event.type == SelectionRequest) answerRequest(drag, event.xselectionrequest);
        else if (event.type == ClientMessage) takeAnswer(drag, event.xclient);
    }
}

bool windowIdOf(const char* text, Window* window) {
    char* end = nullptr;
    const unsigned long id = strtoul(text, &end, 0);
    *window = static_cast<Window>(id);
    return end != text && *end == '\0' && id != 0;
}

// A drag from a window of our own, which the display gives the selection to.
bool startDrag(Drag* drag, Window window) {
    drag->atoms = atomsOf(drag->display);
    drag->target = awareWindow(drag->display, drag->atoms.aware, window);
    if (drag->target == 0) {
        fprintf(stderr, "xdnd_drop: neither window %lu nor a window inside it takes drops "
                        "(none carries XdndAware)\n", window);
        return false;
    }
    const long targetVersion = awareVersion(drag->display, drag->atoms.aware, drag->target);
    drag->version = targetVersion < NEWEST_VERSION ? targetVersion : NEWEST_VERSION;
    if (drag->version < OLDEST_VERSION) {
        fprintf(stderr, "xdnd_drop: window %lu speaks XDND version %ld, older than %ld\n",
                drag->target, targetVersion, OLDEST_VERSION);
        return false;
    }
    const Window root = DefaultRootWindow(drag->display);
    drag->source = XCreateSimpleWindow(drag->display, root, 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(drag->display, drag->atoms.selection, drag->source, CurrentTime);
    if (XGetSelectionOwner(drag->display, drag->atoms.selection) != drag->source) {
        fprintf(stderr, "xdnd_drop: the display did not give us XdndSelection\n");
        return false;
    }
    drag->stage = AWAITING_STATUS;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Window window = 0;
    if (argc != 3 || !windowIdOf(argv[1], &window) || argv[2][0] != '/') {
        fprintf(stderr, "usage: xdnd_drop WINDOW-ID /ABSOLUTE/PATH\n");
        return 2;
    }
    Drag drag = {};
    drag.display = XOpenDisplay(nullptr);
    if (drag.display == nullptr) {
        fprintf(stderr, "xdnd_drop: cannot open the display \"%s\"\n", XDisplayName(nullptr));
        return 1;
    }
    drag.uriList = fileUri(argv[2]) + "\r\n";
    if (startDrag(&drag, window)) {
        enterMiddle(drag);
        runDrag(&drag);
    }
    XCloseDisplay(drag.display);
    return drag.stage == TAKEN ? 0 : 1;
}
