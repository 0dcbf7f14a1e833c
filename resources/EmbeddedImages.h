#pragma once

// The editor's pictures, compiled into the plug-in so it needs no files of
// its own at run time. Each array is a complete PNG file.
namespace EmbeddedImages
{
    extern const unsigned char logoPng[];
    extern const int logoPngSize;

    extern const unsigned char connectedPng[];
    extern const int connectedPngSize;

    extern const unsigned char notConnectedPng[];
    extern const int notConnectedPngSize;
}
