// NativeMethods.cs - the P/Invoke declarations of the five functions of qel_zmq.h, with
// the marshalling each one needs to leave encodings, the handle's lifetime and the
// library's answer buffer in the binding's hands.
using System;
using System.Runtime.InteropServices;

namespace QelZmq
{
    /// <summary>The five functions of qel_zmq.h, exactly as the DLL exports them.</summary>
    internal static class NativeMethods
    {
        // "QEL_ZMQ" is QEL_ZMQ.dll on Windows. Mono on Linux finds libqel_zmq.so.1 through
        // the dllmap in QelZmq.dll.config; .NET (Core) through NativeLibrary or a file of
        // that name. The DLL is 64-bit only: on x64 there is one calling convention, so
        // Cdecl changes nothing there; it is spelled out because it is what the header's
        // functions are, and it would be the right one for a 32-bit build too.
        private const string Library = "QEL_ZMQ";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr createConnectionHandle();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void freeHandle(IntPtr iHandle);

        // Text goes in as NUL-terminated byte arrays we encoded ourselves, not as string:
        // the marshaller would otherwise pick the encoding (the ANSI code page on Windows).
        // The handle goes in as IntPtr under a reference QelHandle.Use takes: Mono's
        // marshaller can lose the reference it takes for a SafeHandle argument when a
        // thread abort arrives as the call returns, and the handle would then never be
        // freed.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int connectToQelLuaService(byte[] iIP, int iPort, IntPtr ipHandle);

        // out IntPtr, never out string: an out string would make the marshaller copy the
        // answer and then release the library's buffer with CoTaskMemFree, which is not
        // the allocator that made it. Only freeResult may release it.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int executeLuaScriptQel(out IntPtr opResult, byte[] iScript, IntPtr ipHandle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void freeResult(IntPtr iResult);
    }
}
