// The Java peer of `velkdb import`: every certificate of a PEM bundle into a
// password-protected PKCS12 KeyStore, as a Java program builds one.
//
// Usage: java -cp DIR KeyStoreBuild BUNDLE.pem OUT.p12 PASSWORD-FILE
import java.io.BufferedInputStream;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.KeyStore;
import java.security.cert.Certificate;
import java.security.cert.CertificateFactory;
import java.util.Collection;

class KeyStoreBuild {
  public static void main(String[] args) throws Exception {
    char[] password = Files.readAllLines(Paths.get(args[2])).get(0).toCharArray();
    Collection<? extends Certificate> certificates;
    try (InputStream in = new BufferedInputStream(new FileInputStream(args[0]))) {
      certificates = CertificateFactory.getInstance("X.509").generateCertificates(in);
    }
    KeyStore store = KeyStore.getInstance("PKCS12");
    store.load(null, null);
    int n = 0;
    for (Certificate c : certificates) {
      store.setCertificateEntry("cert" + (++n), c);
    }
    try (OutputStream out = new FileOutputStream(args[1])) {
      store.store(out, password);
    }
    System.out.println("stored " + n + " certificates");
  }
}
