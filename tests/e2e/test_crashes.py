"""Faults inside the fax library, of every kind the stand-in can make. Each run ends within
seconds and shows no window: with the error line of failure 51 in the report and exit status 1,
or, where even that cannot be done in time, with exit status 2 and no report from this run."""

import os
import shutil
import unittest

from test_failures import (EXIT_FAILED_BEFORE_CALL, EXIT_FAILURE_REPORTED,
                           EXIT_REPORT_WRITTEN, OLD_REPORT, ONE_NUMBER_JOB, SENT_TEXT,
                           FailureTestCase, error_line, report_line)

WITHIN_SECONDS = 20.0  # generous for Wine under emulation; a hang would take the run's timeout

# Crash kind: the exit status it ends with.
CRASHES = {
    "": EXIT_FAILURE_REPORTED,
    "illegal-instruction": EXIT_FAILURE_REPORTED,
    "stack-overflow": EXIT_FAILURE_REPORTED,
    "heap-locked": EXIT_FAILURE_REPORTED,
    "heap-overwritten": EXIT_FAILURE_REPORTED,
    # The library suspends every other thread first: the program's own refuse it.
    "threads-suspended": EXIT_FAILURE_REPORTED,
}


# Test library: how it ends the process during the call, which must end as a fault does.
LIBRARY_ENDS = {
    "ASSERTS.dll": "a failed assert, in the program's own C runtime DLL",
    "RAISES.dll": "raise(SIGABRT)",
    "PURECALL.dll": "a pure-virtual call: the runtime's _amsg_exit",
    "FATALAPP.dll": "FatalAppExit",
    "FAILFAST.dll": "RaiseFailFastException",
    "NONAMES.dll": "abort, imported without a name table",
    "CALLFILT.dll": "a fault after installing a filter of its own during the call",
}


# Test library, its settings: a route to the end of the process that no import table shows, or
# that the loader takes before the call. Each must end as a fault does, with the 51 line.
HIDDEN_ROUTES = {
    "ExitProcess in DllMain": ("INITEXIT.dll", {}),
    "TerminateProcess on a handle with no right but to end": ("TERMONLY.dll", {}),
    "ExitProcess found by GetProcAddress": ("GETPROC.dll", {"ZRQ_LOOK_UP": "ExitProcess"}),
    "TerminateProcess found by GetProcAddress": ("GETPROC.dll",
                                                 {"ZRQ_LOOK_UP": "TerminateProcess"}),
    "a filter installed through GetProcAddress, then a fault": (
        "GETPROC.dll", {"ZRQ_LOOK_UP": "SetUnhandledExceptionFilter"}),
    "ExitProcess in a second library loaded during the call": ("LOADHELP.dll", {}),
    # Its slot is filled by the delay-load helper at this first call, after the load.
    "ExitProcess imported with a delayed load": ("DELAYEND.dll", {}),
    "the same, its slot filled by the system's ResolveDelayLoadedAPI": ("DELAYSYS.dll", {}),
    "the other threads suspended, then the calling thread ended": ("SUSPENDS.dll", {}),
    # Wine calls no TLS callback: the library calls them as Windows would at an ExitProcess
    # that nothing redirected.
    "the program's TLS callbacks called with the process's detach": ("TLSCALL.dll", {}),
}


class CrashTests(FailureTestCase):

    def test_every_kind_of_crash_ends_within_seconds(self):
        for kind, status in CRASHES.items():
            with self.subTest(kind=kind or "access violation"):
                report = self.path(f"out-{kind}", "r.txt")
                result = self.run_job([f"!crash {kind}".strip()], report)
                self.assertLess(result.elapsed, WITHIN_SECONDS)
                self.assertEqual(result.exit_code, status)
                if status == EXIT_FAILURE_REPORTED:
                    self.assertEqual(report.read_bytes(), error_line(51))
                else:
                    self.assertFalse(report.exists())

    def test_crash_replaces_an_earlier_report_with_the_error_line(self):
        report = self.path("out", "r.txt")
        report.write_bytes(OLD_REPORT)
        result = self.run_job(["!crash heap-locked"], report)
        self.assertErrorReport(result, report, 51)


class ProcessStateTests(FailureTestCase):
    """Libraries that change the process they are loaded into: what they set must not change
    how faxjob handles a fault or reads a number."""

    def use_library(self, name):
        shutil.copyfile(self.artifacts.build_dir / "testdlls" / name, self.fax_library)

    def test_a_stack_overflow_in_frames_of_a_page_is_recorded_before_the_process_ends(self):
        # Each frame steps over what the system keeps for the handler: the fault path finishes
        # on a stack of its own.
        self.use_library("DEEPFRAME.dll")
        report = self.path("out", "r.txt")
        result = self.run_job(ONE_NUMBER_JOB, report)
        self.assertLess(result.elapsed, WITHIN_SECONDS)
        self.assertErrorReport(result, report, 51)
        self.assertEqual(sorted(os.listdir(report.parent)), ["FAXJOB.LCK", "RESULT.TXT", "r.txt"])

    def test_every_hidden_route_to_the_end_of_the_process_ends_as_a_fault(self):
        shutil.copyfile(self.artifacts.build_dir / "testdlls" / "ZRQHELP.dll",
                        self.scratch / "ZRQHELP.dll")
        for how, (name, env) in HIDDEN_ROUTES.items():
            with self.subTest(how):
                self.use_library(name)
                report = self.path(f"out-{len(how)}-{name}", "r.txt")
                report.write_bytes(OLD_REPORT)
                result = self.run_job(ONE_NUMBER_JOB, report, env=env, timeout=40)
                # An end in DllMain comes before the call: nothing was sent.
                before_call = how == "ExitProcess in DllMain"
                self.assertErrorReport(result, report, 51, status=EXIT_FAILED_BEFORE_CALL
                                       if before_call else EXIT_FAILURE_REPORTED)

    def test_a_filter_the_library_installs_when_loaded_does_not_take_its_faults(self):
        self.use_library("OWNFILTER.dll")
        report = self.path("out", "r.txt")
        result = self.run_job(ONE_NUMBER_JOB, report)
        self.assertErrorReport(result, report, 51)

    def test_every_way_the_library_ends_the_process_ends_as_a_fault_without_a_box(self):
        for name, how in LIBRARY_ENDS.items():
            with self.subTest(how):
                self.use_library(name)
                report = self.path(f"out-{name}", "r.txt")
                result = self.run_job(ONE_NUMBER_JOB, report)  # asserts that no window showed
                self.assertErrorReport(result, report, 51)

    def test_a_library_thread_started_at_load_that_faults_during_the_call_is_a_fault(self):
        # Its DllMain installs a filter of its own and starts the thread.
        self.use_library("LOADTHRD.dll")
        report = self.path("out", "r.txt")
        result = self.run_job(ONE_NUMBER_JOB, report)
        self.assertErrorReport(result, report, 51)

    def test_numbers_round_as_ever_after_the_library_changed_the_floating_point_unit_at_load(self):
        # DllMain leaves rounding toward zero in single precision and all eight x87 registers in
        # use: 0.4999999999999999 would come out as 1, or every number as a NaN.
        self.use_library("LOADFP.dll")
        report = self.path("out", "r.txt")
        result = self.run_job(ONE_NUMBER_JOB, report)
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual(report.read_bytes(), report_line(0, SENT_TEXT) + report_line(3, SENT_TEXT))

    def test_numbers_round_as_ever_after_the_library_changed_the_floating_point_modes(self):
        # Rounded toward zero in single precision, 0.4999999999999999 would come out as 1.
        self.use_library("FLOATINGPOINT.dll")
        report = self.path("out", "r.txt")
        result = self.run_job(ONE_NUMBER_JOB, report)
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual(report.read_bytes(), report_line(0, SENT_TEXT))

    def test_a_library_that_closes_every_small_handle_value_changes_no_outcome(self):
        # The fault path's event, thread and report handles are protected from close, and a wait
        # that fails is never taken as a fault or a thread ended: a normal run reports as ever,
        # and a fault after the closing still gets its line.
        self.use_library("CLOSESHND.dll")
        with self.subTest("returns"):
            report = self.path("out", "r.txt")
            result = self.run_job(ONE_NUMBER_JOB, report)
            self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
            self.assertEqual(report.read_bytes(), report_line(1, SENT_TEXT))
        with self.subTest("then faults"):
            report = self.path("out-fault", "r.txt")
            result = self.run_job(ONE_NUMBER_JOB, report, env={"ZRQ_THEN_FAULT": "1"})
            self.assertErrorReport(result, report, 51)

if __name__ == "__main__":
    unittest.main()
