// QelZmq.cs - C# binding of the QEL_ZMQ client library through P/Invoke: one class,
// QelConnection, that owns a connection handle, serialises its calls and copies each
// answer into a managed string before giving the library's buffer back with freeResult.
using System;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace QelZmq
{
    /// <summary>A QEL_ZMQ call failed (it returned NULL or -1).</summary>
    public class QelException : Exception
    {
        public QelException(string message) : base(message) { }
    }

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

    /// <summary>
    /// One connection handle, connected to a service at construction. Calls on one
    /// connection are serialised by a lock (the library forbids overlapping calls on a
    /// handle), so threads may share it; each waits for the one before. Calls block with
    /// no time-out: Execute against a service that never answers waits forever.
    /// </summary>
    public sealed class QelConnection : IDisposable
    {
        private readonly object sync = new object();
        private IntPtr handle;
        // After a failed Execute the request may still be queued for a service that is
        // not there, and freeHandle would then wait (ZeroMQ's linger) to deliver it.
        private bool failed;

        /// <summary>Creates a handle and connects it to tcp://host:port.</summary>
        /// <remarks>Succeeds as soon as ZeroMQ accepts the endpoint, whether or not a
        /// service listens there yet.</remarks>
        public QelConnection(string host, int port)
        {
            byte[] hostBytes = ToCString(host, "host");
            IntPtr made = NativeMethods.createConnectionHandle();
            if (made == IntPtr.Zero)
            {
                GC.SuppressFinalize(this);
                throw new QelException("could not create a connection handle (out of memory or file descriptors)");
            }
            if (NativeMethods.connectToQelLuaService(hostBytes, port, made) != 0)
            {
                NativeMethods.freeHandle(made);
                GC.SuppressFinalize(this);
                throw new QelException(string.Format(
                    "could not connect to {0}:{1}: ZeroMQ refused the endpoint (its reason was written to standard output)",
                    host, port));
            }
            handle = made;
        }

        /// <summary>Runs a Lua script (sent as UTF-8) and returns the answer decoded as UTF-8.</summary>
        /// <exception cref="ArgumentException">the script contains a NUL character.</exception>
        /// <exception cref="QelException">the library failed to send or receive.</exception>
        public string Execute(string script)
        {
            return Encoding.UTF8.GetString(Exchange(ToCString(script, "script")));
        }

        /// <summary>Sends the script's bytes unchanged and returns the answer's bytes
        /// undecoded, for services that expect another encoding.</summary>
        public byte[] ExecuteBytes(byte[] script)
        {
            if (script == null)
                throw new ArgumentNullException("script");
            int nul = Array.IndexOf(script, (byte)0);
            if (nul >= 0)
                throw new ArgumentException(NulMessage("script", nul), "script");
            byte[] terminated = new byte[script.Length + 1];
            Buffer.BlockCopy(script, 0, terminated, 0, script.Length);
            return Exchange(terminated);
        }

        private byte[] Exchange(byte[] terminatedScript)
        {
            lock (sync)
            {
                IntPtr live = LiveHandle();
                IntPtr result = IntPtr.Zero;
                int status = -1;
                try
                {
                    status = NativeMethods.executeLuaScriptQel(out result, terminatedScript, live);
                    if (status != 0)
                    {
                        failed = true;
                        throw new QelException(
                            "the script could not be run: ZeroMQ failed to send or receive (its reason was written "
                            + "to standard error); make a new QelConnection if the request had gone out");
                    }
                    return CopyCString(result);
                }
                finally
                {
                    // The buffer is ours only after a successful call; on -1 the library
                    // left the slot untouched, so there is nothing to give back.
                    if (status == 0)
                        NativeMethods.freeResult(result);
                    // Keeps the finalizer from freeing the handle while the call is still
                    // inside the library.
                    GC.KeepAlive(this);
                }
            }
        }

        /// <summary>Frees the handle. Safe to call more than once; waits for a running
        /// Execute on another thread to return.</summary>
        public void Dispose()
        {
            lock (sync)
            {
                Release();
            }
            GC.SuppressFinalize(this);
        }

        ~QelConnection()
        {
            // Nothing else can reach this object any more, so no lock is needed.
            Release();
        }

        private void Release()
        {
            IntPtr freed = handle;
            handle = IntPtr.Zero;
            if (freed == IntPtr.Zero)
                return;
            if (failed)
            {
                // freeHandle may wait for ever to deliver a request nobody will answer;
                // a background thread does that wait so neither the caller nor process
                // exit is held up.
                Thread releaser = new Thread(() => NativeMethods.freeHandle(freed));
                releaser.IsBackground = true;
                releaser.Name = "QelZmq-freeHandle";
                releaser.Start();
            }
            else
            {
                NativeMethods.freeHandle(freed);
            }
        }

        private IntPtr LiveHandle()
        {
            // Called under the lock: a freed handle must never reach the library.
            if (handle == IntPtr.Zero)
                throw new ObjectDisposedException("QelConnection");
            return handle;
        }

        private static byte[] ToCString(string text, string what)
        {
            if (text == null)
                throw new ArgumentNullException(what);
            int nul = text.IndexOf('\0');
            if (nul >= 0)
                // The C side takes NUL-terminated text and would silently send less.
                throw new ArgumentException(NulMessage(what, nul), what);
            // Strict: a lone surrogate cannot become UTF-8 and must not turn into '?'.
            byte[] encoded = new UTF8Encoding(false, true).GetBytes(text);
            byte[] terminated = new byte[encoded.Length + 1];
            Buffer.BlockCopy(encoded, 0, terminated, 0, encoded.Length);
            return terminated;
        }

        private static string NulMessage(string what, int offset)
        {
            return string.Format("{0} contains a NUL character at offset {1}", what, offset);
        }

        private static byte[] CopyCString(IntPtr text)
        {
            // Only the terminator tells the length; reading byte by byte never touches
            // memory past it. (Marshal.PtrToStringUTF8 is missing from .NET Framework.)
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0)
                length++;
            byte[] bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return bytes;
        }
    }
}
