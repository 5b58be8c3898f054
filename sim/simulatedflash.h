#pragma once

#include <QByteArray>

// What the bootloader holds between commands: the bytes written since the last Start, and
// whether an upload is still open to writes. Every operation returns a reply status.
class SimulatedFlash
{
public:
    // Start: forgets the old image and opens an upload.
    quint8 erase();
    // Write: appends a block to the open upload.
    quint8 write(const QByteArray &block);
    // End request: closes the upload and judges what it holds; the bytes stay for Check.
    quint8 end();
    // Check: judges what it holds, upload open or not.
    quint8 check() const;
    // End notice: an open upload is given up and its partial bytes no longer count. A closed
    // upload keeps its bytes. Returns whether there was an upload to give up.
    bool abandon();

    const QByteArray &contents() const { return m_contents; }

private:
    QByteArray m_contents;
    bool m_uploading = false;
};
