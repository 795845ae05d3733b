// Calendar time for the service's expiry decisions (the PDC address cache, the
// domain list), behind a hook so that a test can set the clock to the second
// an entry expires instead of sleeping until then.
#pragma once

// Seconds since the epoch, as time() gives them.
long qor_time();

// Test hook (process-wide): from now on qor_time() answers `t`; 0 gives the
// real clock back.
void qor_time_set(long t);
