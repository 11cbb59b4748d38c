// QelZmq.cs - C# binding of the QEL_ZMQ client library through P/Invoke: QelConnection
// owns a connection handle held in a SafeHandle, serialises the calls made on it (blocking
// or through ExecuteAsync) and copies each answer into a managed string before giving the
// library's buffer back with freeResult.
using System;
using System.Runtime.ConstrainedExecution;
using System.Runtime.InteropServices;
using System.Runtime.Serialization;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace QelZmq
{
    /// <summary>A QEL_ZMQ call failed: the library returned NULL or -1.</summary>
    /// <remarks>ZeroMQ's reason, if any, is on the console as the library printed it:
    /// connect failures on standard output, send and receive failures on standard
    /// error.</remarks>
    [Serializable]
    public class QelException : Exception
    {
        /// <summary>Creates an exception with a default message.</summary>
        public QelException() : base("a QEL_ZMQ call failed") { }

        /// <summary>Creates an exception with the given message.</summary>
        /// <param name="message">What failed.</param>
        public QelException(string message) : base(message) { }

        /// <summary>Creates an exception with the given message and cause.</summary>
        /// <param name="message">What failed.</param>
        /// <param name="innerException">The exception that led to this one.</param>
        public QelException(string message, Exception innerException) : base(message, innerException) { }

        /// <summary>Restores a serialised exception.</summary>
        /// <param name="info">The serialised data.</param>
        /// <param name="context">Where the data comes from.</param>
        protected QelException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>
    /// A connection handle from createConnectionHandle. The runtime frees it exactly once,
    /// through Dispose or the critical finalizer, and never while a call that received it
    /// is still inside the library (the marshaller holds a reference for each call).
    /// </summary>
    internal sealed class QelHandle : SafeHandle
    {
        // Set when an exchange failed: its request may still be queued for a service that
        // is not there, and freeHandle would then wait (ZeroMQ's linger) to deliver it.
        private volatile bool abandoned;

        private QelHandle() : base(IntPtr.Zero, true) { }

        /// <summary>A new handle from createConnectionHandle, or an invalid one.</summary>
        internal static QelHandle Create()
        {
            QelHandle made = new QelHandle();
            // The object exists before the call and takes the handle in a finally block,
            // where no thread abort is delivered: nothing can come between the two and
            // leak the handle. (Mono's marshaller, returning a SafeHandle itself, can.)
            try
            {
            }
            finally
            {
                made.SetHandle(NativeMethods.createConnectionHandle());
            }
            return made;
        }

        public override bool IsInvalid
        {
            get { return handle == IntPtr.Zero; }
        }

        internal void Abandon()
        {
            abandoned = true;
        }

        // Runs call with the raw handle, which cannot be released before call returns:
        // the reference is taken and given back in finally blocks, where no thread abort
        // is delivered.
        internal T Use<T>(Func<IntPtr, T> call)
        {
            bool added = false;
            try
            {
                DangerousAddRef(ref added);
                return call(handle);
            }
            finally
            {
                if (added)
                    DangerousRelease();
            }
        }

        [ReliabilityContract(Consistency.WillNotCorruptState, Cer.Success)]
        protected override bool ReleaseHandle()
        {
            IntPtr freed = handle;
            if (abandoned)
            {
                // A background thread does the possibly endless wait, so neither the
                // caller, the finalizer thread nor process exit is held up by it.
                Thread releaser = new Thread(() => NativeMethods.freeHandle(freed));
                releaser.IsBackground = true;
                releaser.Name = "QelZmq-freeHandle";
                releaser.Start();
            }
            else
            {
                NativeMethods.freeHandle(freed);
            }
            return true;
        }
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

    /// <summary>
    /// One connection to a Qel Lua script service: a QEL_ZMQ handle, connected at
    /// construction.
    /// </summary>
    /// <remarks>
    /// <para>Thread safety: every member may be called from any thread. Calls on one
    /// connection never overlap (the library forbids it on one handle): Execute and
    /// ExecuteBytes wait for the call before them, and ExecuteAsync calls run one after
    /// the other in the order they were made. Different connections share nothing and
    /// run their exchanges at the same time.</para>
    /// <para>Calls block with no time-out: against a service that never answers, Execute
    /// waits forever and the task of ExecuteAsync never completes.</para>
    /// <para>Each connection costs two threads inside ZeroMQ while it lives. Dispose frees
    /// it; a connection never disposed is freed by its handle's finalizer.</para>
    /// </remarks>
    public sealed class QelConnection : IDisposable
    {
        private readonly object sync = new object();
        private readonly object queueSync = new object();
        private readonly QelHandle handle;
        // The last ExecuteAsync call queued; the next one runs after it.
        private Task queueTail = Task.FromResult(0);

        /// <summary>Creates a handle and connects it to tcp://host:port.</summary>
        /// <param name="host">The service's host name or address, sent as UTF-8.</param>
        /// <param name="port">The service's TCP port.</param>
        /// <remarks>Succeeds as soon as ZeroMQ accepts the endpoint, whether or not a
        /// service listens there yet.</remarks>
        /// <exception cref="ArgumentNullException"><paramref name="host"/> is null.</exception>
        /// <exception cref="ArgumentException"><paramref name="host"/> contains a NUL
        /// character.</exception>
        /// <exception cref="QelException">No handle could be made, or ZeroMQ refused the
        /// endpoint.</exception>
        public QelConnection(string host, int port)
        {
            byte[] hostBytes = ToCString(host, "host");
            QelHandle made = QelHandle.Create();
            if (made.IsInvalid)
            {
                made.Dispose();
                throw new QelException("could not create a connection handle (out of memory or file descriptors)");
            }
            if (made.Use(raw => NativeMethods.connectToQelLuaService(hostBytes, port, raw)) != 0)
            {
                made.Dispose();
                throw new QelException(string.Format(
                    "could not connect to {0}:{1}: ZeroMQ refused the endpoint (its reason was written to standard output)",
                    host, port));
            }
            handle = made;
        }

        /// <summary>Runs a Lua script (sent as UTF-8) and returns the answer decoded as
        /// UTF-8; blocks until the answer arrives.</summary>
        /// <param name="script">The Lua script.</param>
        /// <returns>The service's answer; a Lua error is an answer too ("error: ...").</returns>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> is null.</exception>
        /// <exception cref="ArgumentException">The script contains a NUL character.</exception>
        /// <exception cref="QelException">The library failed to send or receive; after a
        /// failure whose request went out the connection cannot send again.</exception>
        /// <exception cref="ObjectDisposedException">The connection was disposed.</exception>
        public string Execute(string script)
        {
            return Encoding.UTF8.GetString(Exchange(ToCString(script, "script")));
        }

        /// <summary>Sends the script's bytes unchanged and returns the answer's bytes
        /// undecoded, for services that expect another encoding; blocks until the answer
        /// arrives.</summary>
        /// <param name="script">The script's bytes, without a terminating NUL.</param>
        /// <returns>The answer's bytes, up to its first NUL byte.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> is null.</exception>
        /// <exception cref="ArgumentException">The script contains a NUL byte.</exception>
        /// <exception cref="QelException">The library failed to send or receive.</exception>
        /// <exception cref="ObjectDisposedException">The connection was disposed.</exception>
        public byte[] ExecuteBytes(byte[] script)
        {
            return Exchange(ToCString(script));
        }

        /// <summary>Runs a Lua script like <see cref="Execute"/>, on a thread-pool thread
        /// rather than the caller's.</summary>
        /// <param name="script">The Lua script.</param>
        /// <returns>A task whose result is the answer. It fails with the exceptions of
        /// <see cref="Execute"/>; argument errors are thrown at once instead.</returns>
        /// <remarks>Calls on one connection run one at a time, in the order they were
        /// made, each after the blocking calls already waiting. A call waiting for a
        /// service that never answers keeps its pool thread, and the calls queued behind
        /// it, waiting.</remarks>
        /// <exception cref="ArgumentNullException"><paramref name="script"/> is null.</exception>
        /// <exception cref="ArgumentException">The script contains a NUL character.</exception>
        public Task<string> ExecuteAsync(string script)
        {
            byte[] terminated = ToCString(script, "script");
            lock (queueSync)
            {
                Task<string> next = queueTail.ContinueWith(
                    previous => Encoding.UTF8.GetString(Exchange(terminated)),
                    CancellationToken.None, TaskContinuationOptions.DenyChildAttach, TaskScheduler.Default);
                queueTail = next;
                return next;
            }
        }

        private byte[] Exchange(byte[] terminatedScript)
        {
            lock (sync)
            {
                if (handle.IsClosed)
                    throw new ObjectDisposedException("QelConnection");
                IntPtr result = IntPtr.Zero;
                int status = -1;
                try
                {
                    status = handle.Use(raw => NativeMethods.executeLuaScriptQel(out result, terminatedScript, raw));
                    if (status != 0)
                    {
                        handle.Abandon();
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
                }
            }
        }

        /// <summary>Frees the handle. Returns at once and may be called more than once;
        /// a call still inside the library keeps the handle until it returns, and it is
        /// freed then. Later calls throw ObjectDisposedException.</summary>
        public void Dispose()
        {
            handle.Dispose();
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
            return ToCString(new UTF8Encoding(false, true).GetBytes(text));
        }

        private static byte[] ToCString(byte[] script)
        {
            if (script == null)
                throw new ArgumentNullException("script");
            int nul = Array.IndexOf(script, (byte)0);
            if (nul >= 0)
                throw new ArgumentException(NulMessage("script", nul), "script");
            byte[] terminated = new byte[script.Length + 1];
            Buffer.BlockCopy(script, 0, terminated, 0, script.Length);
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
