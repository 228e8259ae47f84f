#pragma once

namespace castora {

// SIGTERM, SIGINT and SIGHUP end the event loop normally (no question: the session is ending), so the
// player and the worker threads are shut down in order instead of being cut off mid-write.
void QuitOnTerminationSignals();

}  // namespace castora
