// The one place that reports a broken internal invariant: a message box, then an abnormal end.
#pragma once

[[noreturn]] void ReportAssertion(const char* expression, const char* label, int line);

#define TARVEL_VERIFY(cond) ((cond) ? (void)0 : ReportAssertion(#cond, "-", __LINE__))
