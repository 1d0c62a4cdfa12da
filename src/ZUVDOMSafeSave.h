// ZUVDOMSafeSave: a file written by name replaces the old one only whole.
#ifndef ZUVDOMSAFESAVE_H
#define ZUVDOMSAFESAVE_H

#include <string>

#include "ZUVFile.h"
#include "ZUVString.h"

// Writes go to a temporary file beside the target, which takes the target's
// place only when everything was written, flushed and closed without error;
// otherwise it is removed and the old file stays as it was. A target that
// cannot be replaced without changing what it is (not a regular file, a
// symbolic link or a descriptor's name, more than one hard link, an owner we
// cannot give the copy, a folder we cannot write) is written in place.
class ZUVDOMSafeSave {
public:
    ZUVDOMSafeSave() = default;
    // Removes a temporary file that was not put in place.
    ~ZUVDOMSafeSave();
    ZUVDOMSafeSave(const ZUVDOMSafeSave&) = delete;
    ZUVDOMSafeSave& operator=(const ZUVDOMSafeSave&) = delete;

    // Names and opens `file` for writing `target`. Returns the errno of the
    // failure, nothing written and the target untouched, or 0.
    int open(ZUVFile& file, const ZUVString& target);
    // Closes `file` and puts it in the target's place when all of it was
    // written. Returns the errno of the first failure, or 0.
    int finish(ZUVFile& file);

private:
    void removeTemporary() noexcept;

    std::string target;
    std::string temporary;  // empty when writing in place
};

#endif
