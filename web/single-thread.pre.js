// The module without threads: the CPU executor runs its work on the calling
// thread (one worker) instead of asking for one per core, which this build
// could not start.
Module['preRun'] = [].concat(Module['preRun'] || [], function () { ENV['HALVENOR_THREADS'] = '1'; });
