// The camera service over PipeWire: the daemon's side (pipewire_extension_service.h) publishes
// the virtual camera as PipeWire nodes, the app's side (pipewire_camera_system.h) finds those
// nodes and writes into the sink node. Both stand on one connection layer (pipewire_connection.h,
// the loop, the registry and reconnecting) and share the video parameters (pipewire_video.h).
// The names and properties below are written once, in virtual_camera.h.
//
// How the service maps onto PipeWire:
//   - A device is the set of nodes that carry its identifier. Each published stream is one node
//     named "orlenta-camera.<device id>.<stream id>" (identifiers in canonical upper-case form),
//     so that any client can tell device and stream from the registry alone; node.nick holds the
//     device's name, and the custom properties orlenta.device.id and orlenta.stream.id repeat the
//     identifiers for clients that bind the node.
//   - A source stream is a driver output node: media.class "Video/Source", media.role "Camera",
//     node.description the device's name (what camera pickers show), offering its one size and
//     rate as two fixed formats, BGRA and BGRx (which share a memory layout), one EnumFormat
//     entry each. Every link from it to a reader is one client that starts the stream; the
//     link's removal stops it.
//   - A sink stream is an input node, media.class "Video/Sink", taking exactly its format. It
//     takes one writer at a time: the holder keeps it while it sends; a link from another writer
//     is removed at once, unless the holder has sent nothing for 0.5 s, in which case the holder's
//     link is removed and the newcomer holds the node. A frame is handed to a sink request only
//     if it is no older than two frame periods by then (a writer that stalled and resumed must
//     not show a stale picture); older frames are dropped.
//   - The app's buffer queue is an output stream (media.class "Stream/Output/Video") that drives
//     its own graph and targets the sink node; WirePlumber links it, exclusively (node.exclusive),
//     so that the session manager links no other writer to the node beside it. The queue holds one
//     frame; it counts as full while the link is not up or two frames are still out with the
//     daemon.
//   - The app's frames travel without a copy: the queue's stream carries the memfds of the app's
//     own pixel buffers, so the daemon maps the memory the frame was rendered into. A pixel buffer
//     joins the stream's set of buffers when the queue sees it for the second time (a pool
//     recycles its buffers); until then, and for buffers never seen again, the frame is copied.
//     A frame sent without a copy keeps its pixel buffer from its pool until the daemon has
//     given it back and a tenth of a second has passed since it was sent.
//   - Frames cross the process boundary in memfd shared memory; the sample's presentation time
//     travels in the buffer's header (CLOCK_MONOTONIC nanoseconds, which both processes share).
//
// Threads: each object runs a PipeWire thread loop of its own. PipeWire's callbacks only move data
// between PipeWire buffers and pixel buffers and hand the result to a serial queue; nothing else
// runs on the loop thread. Frames are handed to the loop thread through a small slot and an
// event, never by taking the loop lock per frame.
#pragma once

#include <functional>
#include <string>

namespace orlenta {

// What a PipeWire connection needs to know; every field may stay empty.
struct PipeWireConnectionOptions {
    // The client's application name in PipeWire.
    std::string applicationName;
    // The daemon's side only: called once, on its service queue, when the connection to
    // PipeWire is lost (PipeWire stopped or restarted). Its nodes are gone then and it does not
    // reconnect: make a new object. The app's side never calls it: it connects again by itself.
    std::function<void(const std::string& reason)> onDisconnected;
};

} // namespace orlenta
