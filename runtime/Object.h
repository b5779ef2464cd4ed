#pragma once

// The base of objects that a list line can carry, so that the line's owner
// can tell what it holds and free it with the line.
class TObject {
public:
    virtual ~TObject() = default;
};
