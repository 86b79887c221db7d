// ravelok --check: a job's settings read as a run reads them, and checked
// without sending or writing anything.
#pragma once

#include "job/job_settings.h"
#include "services/bytes.h"
#include "services/errors.h"

// What would make the job's run misread its settings or fail on them, one
// line each (without a line break): first, in the order of the settings
// file, a section or key the run does not read (with the nearest name it
// reads, when one is close), a list entry after a gap, a value the run
// misreads or refuses, a file it cannot read; then the first header line,
// credential, Body or Type the run refuses, a Proxy it refuses, a Body
// without POST, credentials over plain HTTP, and the save files the run
// could not write. A line names the section, the key and the files the
// settings name, never a value. Empty when nothing is found.
StringList settings_findings(const JobSettings& job);

// Writes the findings on standard output, one line each, and records 2
// (Step::check, nothing more to say) in failure when there is any.
void check_settings(Failure& failure, const JobSettings& job);
